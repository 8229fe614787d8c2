// The one translation unit that compiles Debian's stb_image and stb_image_write. Only the four
// formats that mnist-lab accepts are compiled in, which also keeps the decoders that the
// fuzzer must cover small; nothing reads or writes files by name.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#define STBI_ONLY_PNM
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
// stb refuses any side above this before it allocates; the pixel count is checked separately
// (image_file.cpp) because two sides of 65,536 would still be 4 billion pixels.
#define STBI_MAX_DIMENSIONS (1 << 16)
#include <stb/stb_image.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>
