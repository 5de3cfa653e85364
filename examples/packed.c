/* Looks like a packed program: its second section is almost all random-looking
 * data (generated at build time, renamed ".qpack" after linking), which a tiny
 * stub "unpacks" at run time. */
#include <stdio.h>
#include <stdlib.h>

extern unsigned char qpack_data[];
extern const unsigned long qpack_size;

int main(void) {
  unsigned char* image = malloc(qpack_size);
  if (!image) return 1;
  unsigned char key = 0x5A;
  for (unsigned long i = 0; i < qpack_size; ++i) {
    image[i] = qpack_data[i] ^ key;
    key = (unsigned char)(key * 13 + 7);
  }
  printf("unpacked %lu bytes, first %02x\n", qpack_size, image[0]);
  free(image);
  return 0;
}
