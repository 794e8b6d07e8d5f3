#include "device_key.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

namespace devsim {

std::vector<uint8_t> createP256PublicKey()
{
    std::vector<uint8_t> key;
    EVP_PKEY* pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (!pkey)
        return key;
    // Uncompressed point: 0x04, X, Y.
    unsigned char point[65];
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &length)
            == 1
        && length == sizeof point && point[0] == 0x04) {
        key.assign(point + 1, point + sizeof point);
    }
    EVP_PKEY_free(pkey);
    return key;
}

} // namespace devsim
