# Fails unless DOCUMENT quotes the example word for word in a C++ code block,
# so the README and the guides cannot drift from the code the tests run.
# Usage: cmake -DDOCUMENT=README.md -DEXAMPLE=examples/library_example.cpp -P this file
file(READ "${DOCUMENT}" document)
file(READ "${EXAMPLE}" example)
string(FIND "${document}" "```cpp\n${example}```\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${DOCUMENT} does not quote ${EXAMPLE} whole in a ```cpp block")
endif()
