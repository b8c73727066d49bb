#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTcpServer>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>

#include "platform/bytes.h"
#include "tools/msgserver/server_options.h"

class QTcpSocket;

namespace kestrel::msgserver {

// The simulated message server: listens on 127.0.0.1, serves one driver at a time
// (a new connection takes over from the previous one), reads blocks and answers
// each with one reply block as the options say. Every notable thing becomes one
// line given to `print`.
class MessageServer final : public QObject {
  Q_OBJECT

 public:
  MessageServer(ServerOptions options, std::function<void(const std::string&)> print);
  ~MessageServer() override;
  // False (with the reason in `error`) when the port cannot be bound.
  bool Listen(std::string& error);
  std::uint16_t Port() const;
  // Goes down (as --down-mode says) when up, comes back up when down (SIGUSR1).
  void ToggleDown();
  bool IsDown() const { return down_; }

 private:
  struct Action {
    qint64 dueMs = 0;
    bool close = false;  // close the connection instead of sending
    Bytes bytes;
    std::string line;  // printed once the bytes are handed to the socket
  };

  void OnNewConnection();
  void OnReadyRead(QTcpSocket* socket);
  void OnDisconnected(QTcpSocket* socket);
  void EndConnection(bool graceful);
  void HandlePacket(const Bytes& packet);
  // The reply block to a packet that gets an ordinary answer.
  Bytes OrdinaryReply(std::int32_t command, std::int64_t sequence, bool& registered);
  // What the reply to a block with this sequence number carries in its own.
  std::int64_t ReplySequence(std::int64_t blockSequence);
  void Schedule(Action action);
  void RunDueActions();
  void PrintEvent(std::int64_t sequence, ByteView payload);
  void PrintVerbose(const std::string& line);
  void GoDown();
  void GoUp();

  ServerOptions options_;
  std::function<void(const std::string&)> print_;
  QTcpServer server_;
  QTcpSocket* socket_ = nullptr;  // the current driver connection
  Bytes buffer_;                  // received bytes not yet forming a whole block
  std::int64_t packets_ = 0;      // packets received on the current connection
  std::int64_t replies_ = 0;      // ordinary replies made on the current connection
  std::int64_t repliesAll_ = 0;   // every reply made on the current connection
  std::int64_t keepAlives_ = 0;   // keepalives received on the current connection
  std::int64_t eventsRun_ = 0;    // events received since start
  std::map<Bytes, int> seen_;     // event records received since start, and how often
  std::deque<Action> actions_;    // replies and closes, in order, each at its time
  QElapsedTimer uptime_;
  QTimer actionTimer_;
  std::uint16_t port_ = 0;  // the port bound first, kept across a refusing down
  bool down_ = false;
  QTimer downTimer_;  // the timed down (once), then the timed up after each down
};

}  // namespace kestrel::msgserver
