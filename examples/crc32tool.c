/* A console tool without any resources: prints the CRC-32 of its input. */
#include <stdio.h>

int main(int argc, char** argv) {
  FILE* in = argc > 1 ? fopen(argv[1], "rb") : stdin;
  if (!in) {
    perror(argv[1]);
    return 1;
  }
  unsigned long crc = 0xFFFFFFFFUL;
  int c;
  while ((c = fgetc(in)) != EOF) {
    crc ^= (unsigned long)c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320UL & (0UL - (crc & 1)));
  }
  printf("%08lx\n", crc ^ 0xFFFFFFFFUL);
  return 0;
}
