// One call, CALL, that the tests compile and expect refused (tests/CMakeLists.txt).
#include <unseal/cipher_engine.h>
using namespace unseal;
void call(std::string_view k) { (void)CALL; }
