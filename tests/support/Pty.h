// A pseudo-terminal pair for tests. The slave side stands in for a serial port: the code under
// test opens it by SlavePath(), left at the default (cooked) settings a new terminal has. The
// test plays the device on the master side, which is raw and non-blocking. The pair keeps its
// own slave descriptor open (so the line stays up between opens of the port) until CloseSlave.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace orlo::test {

class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return m_master >= 0; }
    const std::string& error() const { return m_error; }  // why the pair could not be made
    const std::string& SlavePath() const { return m_slavePath; }
    int master() const { return m_master; }
    int slave() const { return m_slave; }

    // Writes every byte to the master within `timeout`; false on timeout or error.
    bool Write(const std::vector<uint8_t>& bytes,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads from the master until `count` bytes have arrived or `timeout` passes.
    std::vector<uint8_t> Read(std::size_t count,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Whatever arrives at the master within `wait`.
    std::vector<uint8_t> Drain(std::chrono::milliseconds wait);
    // Waits until at least `count` bytes wait on the slave side to be read; false on timeout.
    bool WaitSlaveInput(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    void CloseSlave();   // the pair's own slave descriptor
    void CloseMaster();  // the "device" goes away: the slave side sees a hang-up

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
    std::string m_error;
};

}  // namespace orlo::test
