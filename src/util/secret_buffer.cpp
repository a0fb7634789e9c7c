#include "util/secret_buffer.hpp"

#include <openssl/crypto.h>

namespace ostrel_util {

void secure_wipe(void* data, std::size_t len) noexcept {
    if (data != nullptr && len != 0) OPENSSL_cleanse(data, len);
}

}  // namespace ostrel_util
