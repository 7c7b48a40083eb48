#include <cstdio>

int main(int argc, char** argv) {
  (void)argv;
  std::puts("Quorvane utility, v. 0.539");
  if (argc <= 2) {
    std::puts("Usage: ./unseal <filename> <key>");
    return 1;
  }
  return 1;
}
