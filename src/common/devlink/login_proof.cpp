#include "common/devlink/login_proof.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include "common/devlink/wire.h"

namespace devlink::login {
namespace {

bool Hmac(const std::uint8_t* key, std::size_t keySize, const std::uint8_t* data,
          std::size_t size, Key* out) {
  unsigned int len = 0;
  // HMAC() with a null key pointer fails on some OpenSSL builds.
  static const std::uint8_t kEmpty = 0;
  if (HMAC(EVP_sha256(), keySize ? key : &kEmpty, static_cast<int>(keySize), data, size,
           out->data(), &len) == nullptr)
    return false;
  return len == kKeySize;
}

bool Hmac(const Key& key, const std::string& label, Key* out) {
  return Hmac(key.data(), key.size(), reinterpret_cast<const std::uint8_t*>(label.data()),
              label.size(), out);
}

}  // namespace

bool DeriveClientKeys(const std::string& password, const std::vector<std::uint8_t>& salt,
                      std::uint32_t iterations, ClientKeys* keys) {
  if (iterations == 0 || iterations > kMaxIterations) return false;
  Key salted;
  static const char kEmpty = 0;
  if (PKCS5_PBKDF2_HMAC(password.empty() ? &kEmpty : password.data(),
                        static_cast<int>(password.size()), salt.data(),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                        static_cast<int>(salted.size()), salted.data()) != 1)
    return false;
  if (!Hmac(salted, "Client Key", &keys->clientKey) ||
      !Hmac(salted, "Server Key", &keys->serverKey))
    return false;
  SHA256(keys->clientKey.data(), keys->clientKey.size(), keys->storedKey.data());
  OPENSSL_cleanse(salted.data(), salted.size());
  return true;
}

bool MakeVerifier(const std::string& password, std::uint32_t iterations, PasswordVerifier* out,
                  const std::vector<std::uint8_t>& salt) {
  out->salt = salt;
  if (out->salt.empty()) {
    out->salt.assign(kNewSaltSize, 0);
    if (!RandomBytes(out->salt.data(), out->salt.size())) return false;
  }
  out->iterations = iterations;
  ClientKeys keys;
  if (!DeriveClientKeys(password, out->salt, iterations, &keys)) return false;
  out->storedKey = keys.storedKey;
  out->serverKey = keys.serverKey;
  OPENSSL_cleanse(keys.clientKey.data(), keys.clientKey.size());
  return true;
}

std::vector<std::uint8_t> AuthMessage(const std::string& user,
                                      const std::vector<std::uint8_t>& clientNonce,
                                      const std::vector<std::uint8_t>& serverNonce,
                                      const std::vector<std::uint8_t>& salt,
                                      std::uint32_t iterations) {
  // Every variable field is length-prefixed so that no two exchanges share
  // a message by shifting bytes between fields.
  wire::PayloadWriter w;
  w.Text("devlink login 1").Text(user);
  w.Text(std::string(clientNonce.begin(), clientNonce.end()));
  w.Text(std::string(serverNonce.begin(), serverNonce.end()));
  w.Text(std::string(salt.begin(), salt.end()));
  w.U32(iterations);
  return w.Take();
}

bool ClientProof(const ClientKeys& keys, const std::vector<std::uint8_t>& authMessage, Key* proof) {
  Key signature;
  if (!Hmac(keys.storedKey.data(), keys.storedKey.size(), authMessage.data(), authMessage.size(),
            &signature))
    return false;
  for (std::size_t i = 0; i < kKeySize; ++i) (*proof)[i] = keys.clientKey[i] ^ signature[i];
  return true;
}

bool CheckClientProof(const PasswordVerifier& verifier,
                      const std::vector<std::uint8_t>& authMessage,
                      const std::vector<std::uint8_t>& proof, Key* clientKey) {
  if (proof.size() != kKeySize) return false;
  Key signature;
  if (!Hmac(verifier.storedKey.data(), verifier.storedKey.size(), authMessage.data(),
            authMessage.size(), &signature))
    return false;
  for (std::size_t i = 0; i < kKeySize; ++i) (*clientKey)[i] = proof[i] ^ signature[i];
  Key stored;
  SHA256(clientKey->data(), clientKey->size(), stored.data());
  return KeysEqual(stored.data(), verifier.storedKey.data(), kKeySize);
}

bool ServerSignature(const Key& serverKey, const std::vector<std::uint8_t>& authMessage, Key* out) {
  return Hmac(serverKey.data(), serverKey.size(), authMessage.data(), authMessage.size(), out);
}

bool SessionKey(const Key& clientKey, const std::vector<std::uint8_t>& authMessage, Key* out) {
  std::vector<std::uint8_t> message = {'S', 'e', 's', 's', 'i', 'o', 'n', ' ', 'K', 'e', 'y'};
  message.insert(message.end(), authMessage.begin(), authMessage.end());
  return Hmac(clientKey.data(), clientKey.size(), message.data(), message.size(), out);
}

bool KeysEqual(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
  return CRYPTO_memcmp(a, b, size) == 0;
}

bool RandomBytes(std::uint8_t* out, std::size_t size) {
  return RAND_bytes(out, static_cast<int>(size)) == 1;
}

std::string ToHex(const std::uint8_t* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
  return out;
}

bool FromHex(const std::string& text, std::vector<std::uint8_t>* out) {
  if (text.size() % 2 != 0) return false;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out->clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return true;
}

}  // namespace devlink::login
