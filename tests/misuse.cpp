// One call, CALL, compiled by the tests (tests/CMakeLists.txt): as written,
// and with arguments swapped or of the wrong kind, which must not compile.
#include <unseal/cipher_engine.h>
using namespace unseal;
void call(std::string_view k) { (void)CALL; }
