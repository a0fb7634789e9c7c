// ML-DSA-65 and ML-KEM-768 against an independent implementation: OpenSSL,
// driven through the `cryptography` package of a Python interpreter by
// tests/cpp/crypto/openssl_oracle.py. Every run draws fresh seeds, messages
// and contexts from the operating system, so each run covers new keys.
//
// The interpreter is `python3` on PATH, or the one named by the environment
// variable OSTREL_INTEROP_PYTHON. The tests skip only when that interpreter
// is absent or lacks `cryptography` with ML-DSA-65 / ML-KEM-768; any other
// trouble with the oracle is a failure.
//
// Each test hands the oracle one batch of requests on stdin and reads one
// answer line per request from stdout (byte strings in hex, "-" for empty).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mldsa65.hpp"
#include "pq/crypto/mlkem768.hpp"
#include "pq/crypto/os_random.hpp"

extern char** environ;

namespace {

namespace dsa = ostrel_pq::crypto::mldsa65;
namespace kem = ostrel_pq::crypto::mlkem768;
using Bytes = std::vector<std::uint8_t>;
using Answers = std::vector<std::vector<std::string>>;  // fields of each answer line

// ---------------------------------------------------------------- helpers

std::string hex(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return "-";
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0f]);
    }
    return out;
}

// Decodes the oracle's hex; nullopt for anything that is not clean hex.
std::optional<Bytes> unhex(std::string_view text) {
    if (text == "-") return Bytes{};
    if (text.size() % 2 != 0) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    Bytes out(text.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        int hi = nibble(text[2 * i]);
        int lo = nibble(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return out;
}

Bytes random_bytes(std::size_t n) {
    Bytes out(n);
    auto filled = ostrel_pq::crypto::os_random_fill(out);
    if (!filled) throw std::runtime_error(filled.error().display());
    return out;
}

Bytes bytes_of(const ostrel_util::SecretBytes& secret) {
    return Bytes(secret.data(), secret.data() + secret.size());
}

// A context of the same length that differs from `ctx` in one bit.
Bytes other_context(const Bytes& ctx) {
    Bytes out = ctx;
    out[out.size() / 2] ^= 0x01;
    return out;
}

// ---------------------------------------------------------------- child process

struct ProcessResult {
    int exit_code = -1;  // -1: did not exit normally
    std::string out;
    std::string err;
};

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FilePtr temp_file() { return FilePtr(std::tmpfile(), &std::fclose); }

std::string slurp(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    return text;
}

// Runs `program args...` with `input` as stdin; stdout and stderr go to
// unlinked temporary files read after the child exits, so no pipe can fill
// up and stall either side however large the batch.
std::expected<ProcessResult, std::string> run_process(const std::string& program,
                                                      const std::vector<std::string>& args,
                                                      const std::string& input) {
    FilePtr in = temp_file(), out = temp_file(), err = temp_file();
    if (!in || !out || !err) return std::unexpected(std::string("tmpfile: ") + std::strerror(errno));
    if (std::fwrite(input.data(), 1, input.size(), in.get()) != input.size() || std::fflush(in.get()) != 0)
        return std::unexpected(std::string("writing the oracle's input: ") + std::strerror(errno));
    std::rewind(in.get());

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fileno(in.get()), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fileno(out.get()), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fileno(err.get()), STDERR_FILENO);

    std::vector<std::string> argv_storage{program};
    argv_storage.insert(argv_storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return std::unexpected("cannot start " + program + ": " + std::strerror(rc));

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return std::unexpected(std::string("waitpid: ") + std::strerror(errno));
    }
    ProcessResult result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(out.get());
    result.err = slurp(err.get());
    return result;
}

// The interpreter to use, or the reason there is none.
std::expected<std::string, std::string> find_interpreter() {
    const char* chosen = std::getenv("OSTREL_INTEROP_PYTHON");
    std::string name = (chosen && *chosen) ? chosen : "python3";
    std::string origin = (chosen && *chosen) ? "OSTREL_INTEROP_PYTHON=" + name : "python3";
    if (name.find('/') != std::string::npos) {
        if (access(name.c_str(), X_OK) == 0) return name;
        return std::unexpected(origin + " is not an executable file");
    }
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::unexpected(origin + " is not on PATH (" + (path ? path : "PATH unset") + ")");
}

// ---------------------------------------------------------------- the oracle

class OpenSslOracle {
public:
    // Checks once per test binary that the interpreter and its OpenSSL can
    // serve; remembers either why the tests must skip or why they must fail.
    static void probe() {
        if (probed_) return;
        probed_ = true;
        auto interpreter = find_interpreter();
        if (!interpreter) {
            skip_reason_ = "missing Python interpreter: " + interpreter.error();
            return;
        }
        interpreter_ = *interpreter;
        auto run = run_process(interpreter_, {script(), "--probe"}, "");
        if (!run) {
            failure_ = run.error();
            return;
        }
        std::string first_line = run->out.substr(0, run->out.find('\n'));
        if (run->exit_code == 3 && first_line.starts_with("missing ")) {
            skip_reason_ = interpreter_ + ": " + first_line;
        } else if (run->exit_code != 0 || !first_line.starts_with("ready ")) {
            failure_ = "oracle probe with " + interpreter_ + " exited " + std::to_string(run->exit_code) +
                       "; stdout: " + run->out + "; stderr: " + run->err;
        } else {
            description_ = interpreter_ + ": " + first_line.substr(6);
        }
    }

    static const std::optional<std::string>& skip_reason() { return skip_reason_; }
    static const std::optional<std::string>& failure() { return failure_; }
    static const std::string& description() { return description_; }

    // Sends one batch; answers come back split into fields, one entry per
    // request, or the reason the oracle did not answer every request.
    static std::expected<Answers, std::string> ask(const std::vector<std::string>& requests) {
        std::string input;
        for (const auto& r : requests) input += r + "\n";
        auto run = run_process(interpreter_, {script()}, input);
        if (!run) return std::unexpected(run.error());
        if (run->exit_code != 0)
            return std::unexpected("oracle exited " + std::to_string(run->exit_code) + ": " + run->err);
        Answers answers;
        std::stringstream lines(run->out);
        std::string line;
        while (std::getline(lines, line)) {
            std::vector<std::string> fields;
            std::stringstream words(line);
            std::string word;
            while (std::getline(words, word, ' ')) fields.push_back(word);
            answers.push_back(std::move(fields));
        }
        if (answers.size() != requests.size())
            return std::unexpected("oracle answered " + std::to_string(answers.size()) + " of " +
                                   std::to_string(requests.size()) + " requests");
        return answers;
    }

private:
    static std::string script() { return std::string(OSTREL_SOURCE_DIR) + "/tests/cpp/crypto/openssl_oracle.py"; }

    static inline bool probed_ = false;
    static inline std::string interpreter_;
    static inline std::string description_;
    static inline std::optional<std::string> skip_reason_;
    static inline std::optional<std::string> failure_;
};

// One answer field decoded as bytes of the expected length; fails the test
// (through the returned nullopt and the message) on anything else.
std::optional<Bytes> field_bytes(const Answers& answers, std::size_t line, std::size_t field,
                                 std::size_t expected_size) {
    if (line >= answers.size() || field >= answers[line].size()) {
        ADD_FAILURE() << "answer " << line << " has no field " << field;
        return std::nullopt;
    }
    auto bytes = unhex(answers[line][field]);
    if (!bytes || bytes->size() != expected_size) {
        ADD_FAILURE() << "answer " << line << " field " << field << " is not " << expected_size
                      << " bytes of hex: " << answers[line][field].substr(0, 80);
        return std::nullopt;
    }
    return bytes;
}

std::string verdict(const Answers& answers, std::size_t line) {
    return line < answers.size() && answers[line].size() == 1 ? answers[line][0] : "<malformed answer>";
}

// Both code paths of our implementations (portable, and the run-time
// selection, which is AVX2 on CPUs that have it) must interoperate.
class InteropOpenSsl : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() { OpenSslOracle::probe(); }

    void SetUp() override {
        if (OpenSslOracle::skip_reason()) GTEST_SKIP() << *OpenSslOracle::skip_reason();
        if (OpenSslOracle::failure()) FAIL() << *OpenSslOracle::failure();
        RecordProperty("oracle", OpenSslOracle::description());
    }

    ostrel_pq::crypto::ScopedForcePortable path_{GetParam()};
};

class MlDsa65Interop : public InteropOpenSsl {};
class MlKem768Interop : public InteropOpenSsl {};

// Messages and contexts that reach the edges: empty message, one byte,
// a message longer than a SHAKE block, the shortest and the longest context.
struct SignCase {
    std::size_t message_bytes;
    std::size_t context_bytes;
};
constexpr SignCase kSignCases[] = {{0, 1}, {1, 17}, {200, 255}, {3000, 64}};
constexpr std::size_t kKeys = 3;

struct SignInput {
    Bytes seed;
    Bytes message;
    Bytes context;
};

std::vector<SignInput> fresh_sign_inputs() {
    std::vector<SignInput> inputs;
    for (std::size_t k = 0; k < kKeys; ++k) {
        Bytes seed = random_bytes(dsa::kSeedBytes);
        for (const auto& c : kSignCases) inputs.push_back({seed, random_bytes(c.message_bytes), random_bytes(c.context_bytes)});
    }
    return inputs;
}

dsa::KeyPair our_dsa_keys(const Bytes& seed) {
    return dsa::keygen_internal(std::span<const std::uint8_t, dsa::kSeedBytes>(seed.data(), dsa::kSeedBytes));
}

// ---------------------------------------------------------------- ML-DSA-65

TEST_P(MlDsa65Interop, PublicKeyFromSeedMatchesOpenSsl) {
    std::vector<Bytes> seeds{Bytes(dsa::kSeedBytes, 0x00), Bytes(dsa::kSeedBytes, 0xff)};
    for (int i = 0; i < 8; ++i) seeds.push_back(random_bytes(dsa::kSeedBytes));
    std::vector<std::string> requests;
    for (const auto& seed : seeds) requests.push_back("dsa_pub " + hex(seed));

    auto answers = OpenSslOracle::ask(requests);
    ASSERT_TRUE(answers) << answers.error();
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        auto theirs = field_bytes(*answers, i, 0, dsa::kPublicKeyBytes);
        ASSERT_TRUE(theirs);
        auto ours = our_dsa_keys(seeds[i]);
        EXPECT_EQ(hex(ours.public_key), hex(*theirs)) << "seed " << hex(seeds[i]);
    }
}

TEST_P(MlDsa65Interop, OurSignaturesVerifyInOpenSsl) {
    // Every input is signed hedged (fresh rnd) and deterministically (rnd = 0).
    std::vector<std::string> requests;
    std::vector<std::string> labels;
    for (const auto& in : fresh_sign_inputs()) {
        auto keys = our_dsa_keys(in.seed);
        auto hedged = dsa::sign_randomized(keys.secret_key.span(), in.message, in.context);
        auto deterministic = dsa::sign(keys.secret_key.span(), in.message, in.context, dsa::kDeterministicRnd);
        ASSERT_TRUE(hedged) << hedged.error().display();
        ASSERT_TRUE(deterministic) << deterministic.error().display();
        for (const auto* sig : {&*hedged, &*deterministic}) {
            requests.push_back("dsa_verify " + hex(keys.public_key) + " " + hex(in.message) + " " + hex(in.context) +
                               " " + hex(*sig));
            labels.push_back(std::string(sig == &*hedged ? "hedged" : "deterministic") + " signature, message of " +
                             std::to_string(in.message.size()) + " bytes, context of " +
                             std::to_string(in.context.size()) + " bytes, seed " + hex(in.seed));
        }
    }
    auto answers = OpenSslOracle::ask(requests);
    ASSERT_TRUE(answers) << answers.error();
    for (std::size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(verdict(*answers, i), "ok") << labels[i];
}

TEST_P(MlDsa65Interop, OpenSslSignaturesVerifyHere) {
    // Two requests per input: OpenSSL's public key, then its signature.
    auto inputs = fresh_sign_inputs();
    std::vector<std::string> requests;
    for (const auto& in : inputs) {
        requests.push_back("dsa_pub " + hex(in.seed));
        requests.push_back("dsa_sign " + hex(in.seed) + " " + hex(in.message) + " " + hex(in.context));
    }
    auto answers = OpenSslOracle::ask(requests);
    ASSERT_TRUE(answers) << answers.error();
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const auto& in = inputs[i];
        auto pk = field_bytes(*answers, 2 * i, 0, dsa::kPublicKeyBytes);
        auto sig = field_bytes(*answers, 2 * i + 1, 0, dsa::kSignatureBytes);
        ASSERT_TRUE(pk && sig);
        auto key = dsa::VerifyingKey::from_bytes(*pk);
        ASSERT_TRUE(key) << key.error().display();
        auto verified = key->verify(in.message, in.context, *sig);
        EXPECT_TRUE(verified) << verified.error().display() << "; message of " << in.message.size()
                              << " bytes, context of " << in.context.size() << " bytes, seed " << hex(in.seed);
        EXPECT_TRUE(dsa::verify(*pk, in.message, in.context, *sig));
    }
}

TEST_P(MlDsa65Interop, WrongContextIsRejectedOnBothSides) {
    // For each input: OpenSSL checks our signature under a context one bit
    // off and under the empty context; we check OpenSSL's signature likewise.
    auto inputs = fresh_sign_inputs();
    std::vector<std::string> requests;
    std::vector<Bytes> our_pks;
    for (const auto& in : inputs) {
        auto keys = our_dsa_keys(in.seed);
        auto sig = dsa::sign_randomized(keys.secret_key.span(), in.message, in.context);
        ASSERT_TRUE(sig) << sig.error().display();
        std::string head = "dsa_verify " + hex(keys.public_key) + " " + hex(in.message) + " ";
        requests.push_back(head + hex(other_context(in.context)) + " " + hex(*sig));
        requests.push_back(head + "- " + hex(*sig));
        requests.push_back(head + hex(in.context) + " " + hex(*sig));  // control: the right context verifies
        requests.push_back("dsa_sign " + hex(in.seed) + " " + hex(in.message) + " " + hex(in.context));
        our_pks.emplace_back(keys.public_key.begin(), keys.public_key.end());
    }
    auto answers = OpenSslOracle::ask(requests);
    ASSERT_TRUE(answers) << answers.error();
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const auto& in = inputs[i];
        std::string what = "context of " + std::to_string(in.context.size()) + " bytes, seed " + hex(in.seed);
        EXPECT_EQ(verdict(*answers, 4 * i), "fail") << "OpenSSL accepted our signature under a changed " << what;
        EXPECT_EQ(verdict(*answers, 4 * i + 1), "fail") << "OpenSSL accepted our signature without its " << what;
        EXPECT_EQ(verdict(*answers, 4 * i + 2), "ok") << "OpenSSL rejected our signature, " << what;

        auto sig = field_bytes(*answers, 4 * i + 3, 0, dsa::kSignatureBytes);
        ASSERT_TRUE(sig);
        auto key = dsa::VerifyingKey::from_bytes(our_pks[i]);
        ASSERT_TRUE(key) << key.error().display();
        EXPECT_TRUE(key->verify(in.message, in.context, *sig)) << "control: " << what;
        auto changed = key->verify(in.message, other_context(in.context), *sig);
        ASSERT_FALSE(changed) << "we accepted OpenSSL's signature under a changed " << what;
        EXPECT_EQ(changed.error().kind(), ostrel_pq::crypto::CryptoError::Kind::VerificationFailed);
        EXPECT_FALSE(key->verify(in.message, {}, *sig)) << "we accepted OpenSSL's signature without its " << what;
    }
}

// ---------------------------------------------------------------- ML-KEM-768

constexpr std::size_t kKemKeys = 4;
constexpr std::size_t kEncapsPerKey = 2;

kem::KeyPair our_kem_keys(const Bytes& seed) {
    auto keys = kem::keygen_from_seed(seed);
    if (!keys) throw std::runtime_error(keys.error().display());
    return std::move(*keys);
}

TEST_P(MlKem768Interop, EncapsulationKeyFromSeedMatchesOpenSsl) {
    std::vector<Bytes> seeds{Bytes(kem::kKeygenSeedBytes, 0x00), Bytes(kem::kKeygenSeedBytes, 0xff)};
    for (int i = 0; i < 8; ++i) seeds.push_back(random_bytes(kem::kKeygenSeedBytes));
    std::vector<std::string> requests;
    for (const auto& seed : seeds) requests.push_back("kem_pub " + hex(seed));

    auto answers = OpenSslOracle::ask(requests);
    ASSERT_TRUE(answers) << answers.error();
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        auto theirs = field_bytes(*answers, i, 0, kem::kEncapsulationKeyBytes);
        ASSERT_TRUE(theirs);
        EXPECT_EQ(hex(our_kem_keys(seeds[i]).encapsulation_key), hex(*theirs)) << "seed " << hex(seeds[i]);
    }
}

TEST_P(MlKem768Interop, OpenSslCiphertextsDecapsulateHere) {
    std::vector<Bytes> seeds;
    std::vector<std::string> requests;
    for (std::size_t k = 0; k < kKemKeys; ++k) {
        seeds.push_back(random_bytes(kem::kKeygenSeedBytes));
        auto keys = our_kem_keys(seeds.back());
        for (std::size_t e = 0; e < kEncapsPerKey; ++e) requests.push_back("kem_encaps " + hex(keys.encapsulation_key));
    }
    auto answers = OpenSslOracle::ask(requests);
    ASSERT_TRUE(answers) << answers.error();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const Bytes& seed = seeds[i / kEncapsPerKey];
        auto shared = field_bytes(*answers, i, 0, kem::kSharedSecretBytes);
        auto ciphertext = field_bytes(*answers, i, 1, kem::kCiphertextBytes);
        ASSERT_TRUE(shared && ciphertext);
        auto keys = our_kem_keys(seed);
        auto ours = kem::decaps(keys.decapsulation_key.span(), *ciphertext);
        ASSERT_TRUE(ours) << ours.error().display();
        EXPECT_EQ(hex(bytes_of(*ours)), hex(*shared)) << "seed " << hex(seed);
        auto from_seed = kem::decaps_from_seed(seed, *ciphertext);
        ASSERT_TRUE(from_seed) << from_seed.error().display();
        EXPECT_EQ(hex(bytes_of(*from_seed)), hex(*shared)) << "decaps_from_seed, seed " << hex(seed);
    }
}

TEST_P(MlKem768Interop, OurCiphertextsDecapsulateInOpenSsl) {
    // Our ciphertexts go to the key derived from the seed; the batch also
    // asks OpenSSL for its key, and the test first checks it is that key.
    struct Sent {
        Bytes seed;
        Bytes ek;
        Bytes shared;
    };
    std::vector<Sent> sent;
    std::vector<std::string> requests;
    for (std::size_t k = 0; k < kKemKeys; ++k) {
        Bytes seed = random_bytes(kem::kKeygenSeedBytes);
        auto keys = our_kem_keys(seed);
        requests.push_back("kem_pub " + hex(seed));
        for (std::size_t e = 0; e < kEncapsPerKey; ++e) {
            auto enc = kem::encaps(keys.encapsulation_key);
            ASSERT_TRUE(enc) << enc.error().display();
            requests.push_back("kem_decaps " + hex(seed) + " " + hex(enc->ciphertext));
            sent.push_back({seed, keys.encapsulation_key, bytes_of(enc->shared_secret)});
        }
    }
    auto answers = OpenSslOracle::ask(requests);
    ASSERT_TRUE(answers) << answers.error();
    constexpr std::size_t kStride = 1 + kEncapsPerKey;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        std::size_t key_line = (i / kEncapsPerKey) * kStride;
        auto their_ek = field_bytes(*answers, key_line, 0, kem::kEncapsulationKeyBytes);
        auto their_shared = field_bytes(*answers, key_line + 1 + i % kEncapsPerKey, 0, kem::kSharedSecretBytes);
        ASSERT_TRUE(their_ek && their_shared);
        ASSERT_EQ(hex(*their_ek), hex(sent[i].ek)) << "OpenSSL derives another key from seed " << hex(sent[i].seed);
        EXPECT_EQ(hex(*their_shared), hex(sent[i].shared)) << "seed " << hex(sent[i].seed);
    }
}

TEST_P(MlKem768Interop, ImplicitRejectionAgreesWithOpenSsl) {
    // A ciphertext altered in one bit must decapsulate, on both sides, to the
    // same rejection secret J(z || c), which differs from the real secret.
    constexpr std::size_t kPositions[] = {0, 500, kem::kCiphertextBytes - 1};  // u part, u part, v part
    Bytes seed = random_bytes(kem::kKeygenSeedBytes);
    auto keys = our_kem_keys(seed);
    auto enc = kem::encaps(keys.encapsulation_key);
    ASSERT_TRUE(enc) << enc.error().display();
    std::vector<Bytes> altered;
    std::vector<std::string> requests;
    for (std::size_t pos : kPositions) {
        altered.push_back(enc->ciphertext);
        altered.back()[pos] ^= 0x04;
        requests.push_back("kem_decaps " + hex(seed) + " " + hex(altered.back()));
    }
    auto answers = OpenSslOracle::ask(requests);
    ASSERT_TRUE(answers) << answers.error();
    for (std::size_t i = 0; i < altered.size(); ++i) {
        auto theirs = field_bytes(*answers, i, 0, kem::kSharedSecretBytes);
        ASSERT_TRUE(theirs);
        auto ours = kem::decaps(keys.decapsulation_key.span(), altered[i]);
        ASSERT_TRUE(ours) << ours.error().display();
        EXPECT_EQ(hex(bytes_of(*ours)), hex(*theirs)) << "byte " << kPositions[i] << " altered, seed " << hex(seed);
        EXPECT_NE(hex(bytes_of(*ours)), hex(bytes_of(enc->shared_secret))) << "byte " << kPositions[i];
    }
}

std::string path_name(const ::testing::TestParamInfo<bool>& info) { return info.param ? "Portable" : "Dispatched"; }

INSTANTIATE_TEST_SUITE_P(Paths, MlDsa65Interop, ::testing::Bool(), path_name);
INSTANTIATE_TEST_SUITE_P(Paths, MlKem768Interop, ::testing::Bool(), path_name);

}  // namespace
