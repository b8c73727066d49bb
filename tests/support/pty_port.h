#pragma once

#include <filesystem>
#include <string>

namespace kestrel::test {

// A pseudo-terminal standing in for a serial device: the program opens the slave
// side (through a symbolic link such as ports/COM5), the test writes what the
// receiver would send into the master side. The slave is kept open here too, in
// raw mode, so bytes written while the program has the port closed are not echoed.
class PtyPort {
 public:
  PtyPort();
  ~PtyPort();
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  bool Ok() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slavePath_; }
  // Makes `link` (creating its folder) point at the slave.
  void LinkAs(const std::filesystem::path& link) const;
  // Writes all bytes into the master side; false on a failure.
  bool Write(const std::string& bytes) const;
  // The device goes away: the program's reads fail from now on.
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace kestrel::test
