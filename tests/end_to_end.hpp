// The end-to-end table's row: a command line, an input file, and the exact
// stdout, stderr and exit status expected. One test runs every row; each
// test file instantiates it with the rows of its own subject.
#pragma once

#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace dt {

struct Case {
    const char *name;
    std::vector<std::string> args;  // "@in": the input file; "@dir": the scratch folder
    std::string input;
    std::string out;  // expected stdout, addresses masked, and stderr;
    std::string err;  // "@in", "@dir" expand in both as in args, "@tool" to the
                      // tool's path, "@EISDIR" to the host's reason for a
                      // folder that will not open
    int status;
    Out stdoutTo = Out::File;
};

// gtest prints a case by its name, not as raw bytes.
inline void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

inline std::string expand(std::string s, const std::string &in)
{
    for (auto [key, value] : {std::pair<std::string, std::string>{"@in", in},
                              {"@dir", scratchDir()},
                              {"@tool", toolPath()},
                              {"@EISDIR", kDirectoryReason}})
        for (size_t at; (at = s.find(key)) != std::string::npos;)
            s.replace(at, key.size(), value);
    return s;
}

class EndToEnd : public testing::TestWithParam<Case> {};

}  // namespace dt
