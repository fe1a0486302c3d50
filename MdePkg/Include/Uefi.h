// Everything a UEFI driver source needs from the firmware's type definitions.
#pragma once

#include "Uefi/UefiBaseType.h"
#include "Uefi/UefiSpec.h"
