# Appends the board settings record (RECORD) to the image's linker map (MAP).
file(READ "${RECORD}" record)
file(APPEND "${MAP}" "\n${record}")
