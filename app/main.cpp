#include <cstdio>
#include <cstring>

#ifndef PELLIRO_BUILD_ID
#define PELLIRO_BUILD_ID "0000000"
#endif

int main(int argc, char** argv) {
  printf("Vantrel %s | Build time: %s %s | Build %s\n", "Pelliro", __DATE__, __TIME__,
         PELLIRO_BUILD_ID);
  fflush(stdout);
  if (argc > 1 && strcmp(argv[1], "version") == 0) return 0;
  return 0;
}
