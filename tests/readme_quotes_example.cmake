# Fails unless README.md quotes the library example word for word in a C++
# code block, so the README cannot drift from the code the tests run.
# Usage: cmake -DREADME=README.md -DEXAMPLE=examples/library_example.cpp -P this file
file(READ "${README}" readme)
file(READ "${EXAMPLE}" example)
string(FIND "${readme}" "```cpp\n${example}```\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${README} does not quote ${EXAMPLE} whole in a ```cpp block")
endif()
