// SHA-3 and SHAKE against published example digests, at the block
// boundaries where padding mistakes show, and incremental use against
// one-shot use.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pq/crypto/keccak.hpp"

namespace {

using namespace ostrel_pq::crypto;
using Bytes = std::vector<std::uint8_t>;

std::string to_hex(std::span<const std::uint8_t> b) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (auto v : b) {
        s += kDigits[v >> 4];
        s += kDigits[v & 15];
    }
    return s;
}

Bytes ascii(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Deterministic filler: byte i is (37 i + 11) mod 256.
Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 37 + 11);
    return b;
}

enum class Fn { Sha3_256, Sha3_512, Shake128, Shake256 };

std::string digest_hex(Fn fn, std::span<const std::uint8_t> in, std::size_t out_len) {
    Bytes out(out_len);
    switch (fn) {
        case Fn::Sha3_256:
            sha3_256(in, std::span<std::uint8_t, 32>(out.data(), 32));
            break;
        case Fn::Sha3_512:
            sha3_512(in, std::span<std::uint8_t, 64>(out.data(), 64));
            break;
        case Fn::Shake128:
            shake128(in, out);
            break;
        case Fn::Shake256:
            shake256(in, out);
            break;
    }
    return to_hex(out);
}

struct KnownDigest {
    const char* name;
    Fn fn;
    Bytes input;
    std::size_t out_len;
    const char* expected;
};

// Example values from NIST's SHA-3 examples (empty, "abc", 200 bytes of 0xa3,
// the 448-bit two-block message, one million 'a').
std::vector<KnownDigest> nist_examples() {
    const Bytes a3(200, 0xa3);
    return {
        {"sha3_256 empty", Fn::Sha3_256, {}, 32,
         "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a"},
        {"sha3_256 abc", Fn::Sha3_256, ascii("abc"), 32,
         "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532"},
        {"sha3_256 448 bits", Fn::Sha3_256,
         ascii("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"), 32,
         "41c0dba2a9d6240849100376a8235e2c82e1b9998a999e21db32dd97496d3376"},
        {"sha3_256 1600 bits a3", Fn::Sha3_256, a3, 32,
         "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787"},
        {"sha3_256 million a", Fn::Sha3_256, Bytes(1000000, 'a'), 32,
         "5c8875ae474a3634ba4fd55ec85bffd661f32aca75c6d699d0cdcb6c115891c1"},
        {"sha3_512 empty", Fn::Sha3_512, {}, 64,
         "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a6"
         "15b2123af1f5f94c11e3e9402c3ac558f500199d95b6d3e301758586281dcd26"},
        {"sha3_512 abc", Fn::Sha3_512, ascii("abc"), 64,
         "b751850b1a57168a5693cd924b6b096e08f621827444f70d884f5d0240d2712e"
         "10e116e9192af3c91a7ec57647e3934057340b4cf408d5a56592f8274eec53f0"},
        {"sha3_512 1600 bits a3", Fn::Sha3_512, a3, 64,
         "e76dfad22084a8b1467fcf2ffa58361bec7628edf5f3fdc0e4805dc48caeeca8"
         "1b7c13c30adf52a3659584739a2df46be589c51ca1a4a8416df6545a1ce8ba00"},
        {"shake128 empty", Fn::Shake128, {}, 32,
         "7f9c2ba4e88f827d616045507605853ed73b8093f6efbc88eb1a6eacfa66ef26"},
        {"shake128 1600 bits a3", Fn::Shake128, a3, 32,
         "131ab8d2b594946b9c81333f9bb6e0ce75c3b93104fa3469d3917457385da037"},
        {"shake256 empty", Fn::Shake256, {}, 64,
         "46b9dd2b0ba88d13233b3feb743eeb243fcd52ea62b81b82b50c27646ed5762f"
         "d75dc4ddd8c0f200cb05019d67b592f6fc821c49479ab48640292eacb3b7c4be"},
        {"shake256 1600 bits a3", Fn::Shake256, a3, 32,
         "cd8a920ed141aa0407a22d59288652e9d9f1a7ee0c1e7c1ca699424da84a904d"},
    };
}

TEST(Keccak, NistExampleDigests) {
    for (const auto& c : nist_examples()) {
        EXPECT_EQ(digest_hex(c.fn, c.input, c.out_len), c.expected) << c.name;
    }
}

// Inputs one byte short of, exactly at and one byte past a rate boundary
// (136 bytes for SHA3-256 and SHAKE256, 72 for SHA3-512, 168 for SHAKE128):
// there the padding either fits in the last block or needs a block of its own.
// Expected values computed with an independent SHA-3 implementation.
TEST(Keccak, RateBoundaries) {
    struct Case {
        Fn fn;
        std::size_t len;
        std::size_t out_len;
        const char* expected;
    };
    const Case cases[] = {
        {Fn::Sha3_256, 135, 32, "3aa81a5b233ce753b2ab56b3c922338134eb11b8dc3d877d0bc8d19751684b76"},
        {Fn::Sha3_256, 136, 32, "9f065722983c1b643b3fabbed6e791f6d74f77e6cf5a2d38c07c124465ed5d9f"},
        {Fn::Sha3_256, 137, 32, "30efe517346c818828634cb8a3eb3538c14bc2f280132cf0261ed18a7dd85a8b"},
        {Fn::Sha3_256, 272, 32, "860dffd36d6a668d3cac04f1e8b99eaa980fe26172f8d34da87fc963b086e665"},
        {Fn::Sha3_512, 71, 64,
         "bf5828621a2ea8d1d96d5a0100852a995705cd5a60bf13e8d5161dd8fc051f0a"
         "51c5c0cae86438659f1a0fb30efc8a1ed01a837fd93725245f24f3efcc79e1de"},
        {Fn::Sha3_512, 72, 64,
         "7163023fb85589362e8f184399accaa14e0d17da87dcc69cece725c9bef23b0e"
         "4dfb12ed015213d3e6f5c5cc98f23c20303dd5a2091df35815f5f242e7a9bfeb"},
        {Fn::Sha3_512, 73, 64,
         "c2823e8b428215ecacce41592b976554f6dbdb5aeba524cdcda69d3e86ac791f"
         "7750c24720fc0ffec0966909c519fb53a915f8c9c7b9caba1d2b25d5a3b97cab"},
        {Fn::Shake128, 167, 32, "c1778ab7f9dfaf5647f3c10704f096592bccce6855487c48b4988bbbb5ce4a71"},
        {Fn::Shake128, 168, 32, "a9463d8b6c707a86c89b504b082980a82f166f75d858d6bc25aa05081847df17"},
        {Fn::Shake128, 169, 32, "529e1b66db25b20062f24004fcce114858c69af5cc49a63c65d8df4daa662109"},
        {Fn::Shake256, 135, 32, "8718c5da8c17af4eddafe058d4d6cdb76d17fed735aea8367049bd5cf34fc69c"},
        {Fn::Shake256, 136, 32, "579616897b9db8dc567cd07f9b81d4e4a2d823203b5ae45e9d285fd909705860"},
        {Fn::Shake256, 137, 32, "59df4c6a3829eaceca408cdbab359adc237e09090b085c98709ba7424cfe72a5"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digest_hex(c.fn, pattern(c.len), c.out_len), c.expected)
            << "fn " << static_cast<int>(c.fn) << " len " << c.len;
    }
}

// A long XOF output crosses several squeeze blocks; its tail must match too.
TEST(Keccak, LongXofOutputTail) {
    Bytes out(400);
    shake128(pattern(10), out);
    EXPECT_EQ(to_hex(std::span(out).subspan(368)),
              "26c2a93353187a80251d099ed5df44358e5a165d574599feb13f611e88464cdc");
    shake256(pattern(10), out);
    EXPECT_EQ(to_hex(std::span(out).subspan(368)),
              "0070584b5c23c1ddb38e6cfa75297040cc80302e73c5c9885f43244aecb14506");
}

// Feeds `input` in pieces of the given sizes (cycling), then squeezes
// `out_len` bytes in pieces of the given sizes (cycling).
Bytes incremental(KeccakSponge sponge, std::span<const std::uint8_t> input,
                  const std::vector<std::size_t>& in_pieces, std::size_t out_len,
                  const std::vector<std::size_t>& out_pieces) {
    std::size_t off = 0;
    for (std::size_t i = 0; off < input.size(); ++i) {
        const std::size_t n = std::min(in_pieces[i % in_pieces.size()], input.size() - off);
        sponge.absorb(input.subspan(off, n));
        off += n;
    }
    Bytes out(out_len);
    off = 0;
    for (std::size_t i = 0; off < out_len; ++i) {
        const std::size_t n = std::min(out_pieces[i % out_pieces.size()], out_len - off);
        sponge.squeeze(std::span(out).subspan(off, n));
        off += n;
    }
    return out;
}

TEST(Keccak, IncrementalEqualsOneShot) {
    const Bytes input = pattern(1031);
    const std::vector<std::vector<std::size_t>> piece_plans = {
        {1}, {7}, {3, 5, 0, 11}, {13, 136, 1}, {167, 2}, {168}, {1000, 31},
    };
    struct Variant {
        const char* name;
        KeccakSponge sponge;
        Fn fn;
        std::size_t out_len;
    };
    const Variant variants[] = {
        {"sha3_256", Sha3_256Hasher{}, Fn::Sha3_256, 32},
        {"sha3_512", Sha3_512Hasher{}, Fn::Sha3_512, 64},
        {"shake128", Shake128{}, Fn::Shake128, 600},
        {"shake256", Shake256{}, Fn::Shake256, 600},
    };
    for (const auto& v : variants) {
        const std::string expected = digest_hex(v.fn, input, v.out_len);
        for (const auto& in_plan : piece_plans) {
            for (const auto& out_plan : piece_plans) {
                EXPECT_EQ(to_hex(incremental(v.sponge, input, in_plan, v.out_len, out_plan)),
                          expected)
                    << v.name << " in-plan[0]=" << in_plan[0] << " out-plan[0]=" << out_plan[0];
            }
        }
    }
}

TEST(Keccak, ResetStartsOver) {
    Shake256 s;
    s.absorb(pattern(50));
    Bytes junk(20);
    s.squeeze(junk);
    s.reset();
    s.absorb(ascii(""));
    Bytes out(64);
    s.squeeze(out);
    EXPECT_EQ(to_hex(out),
              "46b9dd2b0ba88d13233b3feb743eeb243fcd52ea62b81b82b50c27646ed5762f"
              "d75dc4ddd8c0f200cb05019d67b592f6fc821c49479ab48640292eacb3b7c4be");
}

// A copied sponge continues independently of the original.
TEST(Keccak, CopiesAreIndependent) {
    Shake128 a;
    a.absorb(pattern(100));
    KeccakSponge b = a;
    a.absorb(pattern(5));
    Bytes out_a(32), out_b(32);
    a.squeeze(out_a);
    b.squeeze(out_b);
    Bytes in_b = pattern(100);
    EXPECT_EQ(to_hex(out_b), digest_hex(Fn::Shake128, in_b, 32));
    Bytes in_a = pattern(100);
    const Bytes tail = pattern(5);
    in_a.insert(in_a.end(), tail.begin(), tail.end());
    EXPECT_EQ(to_hex(out_a), digest_hex(Fn::Shake128, in_a, 32));
}

// Keccak-f[1600] on the all-zero state: first lanes of the known result
// (the Keccak team's published intermediate values).
TEST(Keccak, PermutationOfZeroState) {
    std::uint64_t st[25] = {};
    keccak_f1600(st);
    EXPECT_EQ(st[0], 0xF1258F7940E1DDE7ULL);
    EXPECT_EQ(st[1], 0x84D5CCF933C0478AULL);
    EXPECT_EQ(st[24], 0xEAF1FF7B5CECA249ULL);
}

}  // namespace
