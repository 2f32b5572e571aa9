#ifndef KS_TEST_PTY_H
#define KS_TEST_PTY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A pseudo-terminal: the code under test opens path as its serial port, the
// test plays the device on master. The test's own slave descriptor stays
// open, so the master sees no hang-up between steps. raw: start in raw mode.
class Pty {
public:
    explicit Pty(bool raw = false);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master >= 0 && slave >= 0; }
    unsigned SlaveSpeed() const;
    bool Write(const std::vector<uint8_t>& bytes) const;
    // Reads from the master side until n bytes came or timeoutMs passed.
    std::vector<uint8_t> Read(size_t n, int timeoutMs = 2000) const;

    int master = -1;
    int slave = -1;
    std::string path;
};

#endif
