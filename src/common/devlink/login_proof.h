// Login proofs and the per-session key: a salted challenge-response in the
// manner of SCRAM (RFC 5802) over binary fields, shared by the client, the
// simulator and the tests so that both sides compute exactly the same bytes.
//
// Contract:
// - A device keeps only a PasswordVerifier per user: salt, iteration count,
//   StoredKey = SHA-256(ClientKey) and ServerKey, where
//   SaltedPassword = PBKDF2-HMAC-SHA-256(password, salt, iterations),
//   ClientKey = HMAC(SaltedPassword, "Client Key"),
//   ServerKey = HMAC(SaltedPassword, "Server Key").
// - Both sides build the same AuthMessage from the exchange (user, both
//   nonces, salt, iterations). ClientProof = ClientKey XOR
//   HMAC(StoredKey, AuthMessage); ServerSignature = HMAC(ServerKey, AuthMessage).
// - The session key that authenticates every later frame is
//   HMAC(ClientKey, "Session Key" || AuthMessage): it needs the password (or
//   the proof's ClientKey, which only the device recovers).
// - Functions return false only when the crypto library fails or an input is
//   out of range; nothing throws.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace devlink::login {

inline constexpr std::size_t kKeySize = 32;  // SHA-256
using Key = std::array<std::uint8_t, kKeySize>;

// Iteration counts a client accepts: fewer would make a sniffed exchange
// cheap to guess from, more would let a device stall the client.
inline constexpr std::uint32_t kMinIterations = 10000;
inline constexpr std::uint32_t kMaxIterations = 2000000;
// New verifiers get this many iterations unless told otherwise.
inline constexpr std::uint32_t kDefaultIterations = 10000;
inline constexpr std::size_t kMinSaltSize = 8;
inline constexpr std::size_t kMaxSaltSize = 64;
inline constexpr std::size_t kNewSaltSize = 16;

struct PasswordVerifier {
  std::vector<std::uint8_t> salt;
  std::uint32_t iterations = 0;
  Key storedKey{};
  Key serverKey{};
};

// The client's half, derived from the password once per login.
struct ClientKeys {
  Key clientKey{};
  Key storedKey{};
  Key serverKey{};
};

bool DeriveClientKeys(const std::string& password, const std::vector<std::uint8_t>& salt,
                      std::uint32_t iterations, ClientKeys* keys);
// A verifier with a fresh random salt (or the given one when not empty).
bool MakeVerifier(const std::string& password, std::uint32_t iterations, PasswordVerifier* out,
                  const std::vector<std::uint8_t>& salt = {});

// The bytes both sides sign: a label, then every field of the exchange.
std::vector<std::uint8_t> AuthMessage(const std::string& user,
                                      const std::vector<std::uint8_t>& clientNonce,
                                      const std::vector<std::uint8_t>& serverNonce,
                                      const std::vector<std::uint8_t>& salt,
                                      std::uint32_t iterations);

bool ClientProof(const ClientKeys& keys, const std::vector<std::uint8_t>& authMessage, Key* proof);
// Device side: checks a proof against the verifier; on success *clientKey is
// the key the proof carried. Constant time in the proof's content.
bool CheckClientProof(const PasswordVerifier& verifier,
                      const std::vector<std::uint8_t>& authMessage,
                      const std::vector<std::uint8_t>& proof, Key* clientKey);
bool ServerSignature(const Key& serverKey, const std::vector<std::uint8_t>& authMessage, Key* out);
bool SessionKey(const Key& clientKey, const std::vector<std::uint8_t>& authMessage, Key* out);

// Constant-time comparison.
bool KeysEqual(const std::uint8_t* a, const std::uint8_t* b, std::size_t size);
bool RandomBytes(std::uint8_t* out, std::size_t size);

// Lower-case hex, as device.json keeps keys and salts.
std::string ToHex(const std::uint8_t* data, std::size_t size);
bool FromHex(const std::string& text, std::vector<std::uint8_t>* out);

}  // namespace devlink::login
