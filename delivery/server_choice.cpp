#include "delivery/server_choice.h"

#include <algorithm>

namespace kestrel {

namespace {

std::uint32_t Since(std::uint32_t now, std::uint32_t then) { return now - then; }

}  // namespace

bool ServerChoice::PrimaryAwayLongEnough(const Timing& t, std::uint32_t now) const {
  return t.standby && Since(now, primarySeen_) >= t.failoverAfterMs;
}

ServerRole ServerChoice::Attempt(const Timing& t, std::uint32_t now) {
  Down();
  ServerRole role = ServerRole::Primary;
  // After a standby that did not answer the primary gets its turn again.
  if (PrimaryAwayLongEnough(t, now) && lastAttempt_ != ServerRole::Standby) {
    role = ServerRole::Standby;
  }
  lastAttempt_ = role;
  connection_ = role;
  if (role == ServerRole::Primary) primaryChance_ = now;
  return role;
}

bool ServerChoice::Registered(ServerRole role, std::uint32_t now) {
  connection_ = role;
  registered_ = true;
  if (role == ServerRole::Primary) {
    primarySeen_ = now;
  } else {
    failbackTried_ = now;
  }
  const bool switched = role != inUse_;
  inUse_ = role;
  if (switched) ++switches_;
  return switched;
}

void ServerChoice::Alive(std::uint32_t now) {
  if (registered_ && connection_ == ServerRole::Primary) primarySeen_ = now;
}

void ServerChoice::Down() { registered_ = false; }

bool ServerChoice::LeavePrimary(const Timing& t, std::uint32_t now) const {
  // A connection just made gets the whole failover time to register.
  return connection_ == ServerRole::Primary && PrimaryAwayLongEnough(t, now) &&
         Since(now, primaryChance_) >= t.failoverAfterMs;
}

std::optional<std::uint32_t> ServerChoice::LeavePrimaryInMs(const Timing& t,
                                                            std::uint32_t now) const {
  if (!t.standby || connection_ != ServerRole::Primary) return std::nullopt;
  const auto left = [&](std::uint32_t since) -> std::uint32_t {
    const std::uint32_t gone = Since(now, since);
    return gone >= t.failoverAfterMs ? 0 : t.failoverAfterMs - gone;
  };
  return std::max(left(primarySeen_), left(primaryChance_));
}

std::optional<std::uint32_t> ServerChoice::StandbyInMs(const Timing& t, std::uint32_t now) const {
  if (!t.standby || registered_ || lastAttempt_ != ServerRole::Primary) return std::nullopt;
  const std::uint32_t gone = Since(now, primarySeen_);
  return gone >= t.failoverAfterMs ? 0 : t.failoverAfterMs - gone;
}

bool ServerChoice::FailbackDue(const Timing& t, std::uint32_t now) const {
  return registered_ && connection_ == ServerRole::Standby &&
         Since(now, failbackTried_) >= t.failbackAfterMs;
}

std::uint32_t ServerChoice::PrimaryAwayMs(std::uint32_t now) const {
  if (registered_ && connection_ == ServerRole::Primary) return 0;
  return Since(now, primarySeen_);
}

}  // namespace kestrel
