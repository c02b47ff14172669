// The installation identity that every request carries (KeyID, KeyType and
// KeyVersion, as the updater sends them), hashed for the figures and for
// staged rollouts.
#pragma once
#include <cstdint>
#include <string>

namespace quon::server {

struct Identity {
  std::string keyId;  // the texts as received; a missing field is empty
  std::string keyType;
  std::string keyVersion;

  // 32 hexadecimal digits, the same for the same three texts on every
  // replica; the figures keep this instead of the identity.
  std::string Hash() const;
  // 0..9999: where this installation stands in the rollout of the given
  // update. An update rolled out to P% (P * 100 basis points) is offered
  // when the bucket is below P * 100, so raising P only adds installations.
  // Every update gets its own order, so the first 5% of one update are not
  // always the first 5% of the next.
  uint32_t RolloutBucket(uint32_t updateId) const;
};

}  // namespace quon::server
