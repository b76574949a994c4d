#include "kestrow/base/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace kestrow::base {
namespace {

// Published test vectors, across the one-block and two-block padding edges.
TEST(Sha256Test, KnownDigests) {
    struct Case {
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        Sha256 whole;
        whole.Update(c.input.data(), c.input.size());
        EXPECT_EQ(whole.HexDigest(), c.digest);
        // Fed in uneven pieces, the digest is the same.
        Sha256 pieces;
        for (std::size_t at = 0; at < c.input.size(); at += 7)
            pieces.Update(c.input.data() + at, std::min<std::size_t>(7, c.input.size() - at));
        EXPECT_EQ(pieces.HexDigest(), c.digest);
    }
}

TEST(Sha256Test, FileDigestOrNothing) {
    const std::string path = "/tmp/kw_sha256_" + std::to_string(::getpid());
    std::ofstream(path, std::ios::binary) << "abc";
    EXPECT_EQ(Sha256OfFile(path), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::remove(path.c_str());
    EXPECT_FALSE(Sha256OfFile(path));
    EXPECT_FALSE(Sha256OfFile("/tmp"));  // a folder is no file to digest
}

}  // namespace
}  // namespace kestrow::base
