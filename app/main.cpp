#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  std::printf("velmora %s\n", VELMORA_VERSION);
  return 0;
}
