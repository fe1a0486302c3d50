// The module's data: settings that live in writable data, and its GUIDs.

#include "AutoGen.h"

#include "Protocol/LoadedImage.h"
#include "Protocol/SmmBase2.h"
#include "SmiSourceDispatch.h"

UINT32 PcdDebugPrintErrorLevel = 0;
UINT64 PcdPciExpressBaseAddress = 0x80000000;

EFI_GUID gEfiSmmBase2ProtocolGuid = EFI_SMM_BASE2_PROTOCOL_GUID;
EFI_GUID gEfiLoadedImageProtocolGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
EFI_GUID gSmiSourceDispatchProtocolGuid = SMI_SOURCE_DISPATCH_PROTOCOL_GUID;
