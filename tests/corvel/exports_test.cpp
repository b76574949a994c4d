// libcorvel.so must export exactly the KW_ functions its header declares.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> DeclaredFunctions() {
    std::ifstream in(CORVEL_HEADER_FILE);
    std::stringstream text;
    text << in.rdbuf();
    std::string header = text.str();
    std::set<std::string> names;
    std::regex declaration(R"(KW_API[^;(]*\b(KW_\w+)\s*\()");
    for (std::sregex_iterator it(header.begin(), header.end(), declaration), end; it != end; ++it)
        names.insert((*it)[1]);
    return names;
}

std::set<std::string> ExportedSymbols() {
    std::string command = "nm -D --defined-only '" CORVEL_LIBRARY_FILE "'";
    std::set<std::string> names;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    std::array<char, 1024> line;
    while (std::fgets(line.data(), line.size(), pipe) != nullptr) {
        std::istringstream fields(line.data());
        std::string address, type, name;
        if (fields >> address >> type >> name) names.insert(name);
    }
    EXPECT_EQ(::pclose(pipe), 0) << command;
    return names;
}

TEST(Exports, ExactlyTheDeclaredFunctions) {
    std::set<std::string> declared = DeclaredFunctions();
    ASSERT_GE(declared.size(), 18u) << "the header's declarations were not found";
    std::set<std::string> exported = ExportedSymbols();
    for (const std::string& name : exported) EXPECT_TRUE(declared.count(name)) << "exported but not declared: " << name;
    for (const std::string& name : declared) EXPECT_TRUE(exported.count(name)) << "declared but not exported: " << name;
}

}  // namespace
