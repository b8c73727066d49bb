#pragma once

#include <cstdint>
#include <optional>

namespace kestrel {

// The two message servers a station may have.
enum class ServerRole { Primary, Standby };

// Which server the link uses, decided on the monotonic millisecond tick alone (no
// sockets, no settings file): the link worker tells it what happened and asks it
// where to go.
//
// The primary is preferred. It is away from the moment it last showed life on a
// registered connection (or from the start). Once it has been away for the
// failover time, the standby is tried (at once, StandbyInMs); while both fail
// they alternate, the primary first after a standby that did not answer or went.
// While registered with the standby, the primary is tried every failback time
// (the worker picks a moment when no block awaits a reply, so nothing is sent
// twice); its registration ends the standby connection. A switch is a
// registration with another server than the one registered last (the first with
// the primary is none).
class ServerChoice {
 public:
  struct Timing {
    bool standby = false;  // a standby server is configured
    std::uint32_t failoverAfterMs = 15000;
    std::uint32_t failbackAfterMs = 60000;
  };

  explicit ServerChoice(std::uint32_t nowTick) : primarySeen_(nowTick), primaryChance_(nowTick) {}

  // The server the next connection attempt goes to; noted as attempted.
  ServerRole Attempt(const Timing& t, std::uint32_t now);
  // The connection made by the last attempt (or by a failback) has registered.
  // True when this is a switch.
  bool Registered(ServerRole role, std::uint32_t now);
  // The registered connection showed life (a reply came).
  void Alive(std::uint32_t now);
  // The connection has ended (Attempt says so too). The primary's absence counts
  // from its last sign of life, not from the moment this is noticed.
  void Down();

  // While online with the primary: it has shown no life for the failover time (no
  // reply, or no registration since the connection was made) and a standby waits:
  // the worker leaves it.
  bool LeavePrimary(const Timing& t, std::uint32_t now) const;
  // Milliseconds until LeavePrimary holds, while online with the primary and a
  // standby is configured; nullopt otherwise.
  std::optional<std::uint32_t> LeavePrimaryInMs(const Timing& t, std::uint32_t now) const;
  // Registered with the standby and the failback time has passed since it
  // registered or since the primary was last tried.
  bool FailbackDue(const Timing& t, std::uint32_t now) const;
  // While down after an attempt at the primary: milliseconds until the standby is
  // due (0: try it now rather than after the usual reconnect wait); nullopt when
  // no attempt at the standby is waiting to fall due.
  std::optional<std::uint32_t> StandbyInMs(const Timing& t, std::uint32_t now) const;
  void FailbackTried(std::uint32_t now) { failbackTried_ = now; }

  // The server of the current connection attempt or connection; nullopt before
  // the first.
  std::optional<ServerRole> Connection() const { return connection_; }
  // Registered with a server now.
  bool IsRegistered() const { return registered_; }
  // The server registered last (the primary before any registration).
  ServerRole InUse() const { return inUse_; }
  std::uint64_t Switches() const { return switches_; }
  // Milliseconds the primary had been away at `now` (0 while it is registered and
  // alive).
  std::uint32_t PrimaryAwayMs(std::uint32_t now) const;

 private:
  bool PrimaryAwayLongEnough(const Timing& t, std::uint32_t now) const;

  std::uint32_t primarySeen_;        // last sign of life of the primary (or the start)
  std::uint32_t primaryChance_;      // the last attempt at the primary began
  std::uint32_t failbackTried_ = 0;  // the standby registered, or the primary was tried
  std::optional<ServerRole> connection_;
  std::optional<ServerRole> lastAttempt_;
  bool registered_ = false;
  ServerRole inUse_ = ServerRole::Primary;
  std::uint64_t switches_ = 0;
};

}  // namespace kestrel
