// The least an OSDP reader can do: answer every command with a valid CRC for
// reader 10 or 11 with osdp_ACK, nothing else. The daemon benchmark runs it
// beside kanzo_zul on a pseudo-terminal of the same kind, so that the daemon's
// reply times can be read against the floor that the kernel and the line set.
//
//   kanzo_bare_responder DEVICE
//
// Prints "bare responder ready" once the line is set up; runs until the line
// hangs up or it is killed.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "osdp/check_codes.h"
#include "platform/tty_settings.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: kanzo_bare_responder DEVICE\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string error = "cannot open";
    if (fd < 0 || !applyTtySettings(fd, TtySettings{}, &error)) {
        fprintf(stderr, "kanzo_bare_responder: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    printf("bare responder ready\n");
    fflush(stdout);

    uint8_t frame[256];
    size_t have = 0;
    uint8_t chunk[256];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            // Start byte, address, length (low byte), ..., CRC low, CRC high.
            if (have == 0 && chunk[i] != 0x53)
                continue;
            frame[have++] = chunk[i];
            const size_t length = have > 2 ? frame[2] : sizeof frame;
            if (have < 4 || have < length)
                continue;
            have = 0;
            if (length < 8 ||
                crc16(frame, length - 2) != (frame[length - 2] | frame[length - 1] << 8))
                continue;
            if (frame[1] != 10 && frame[1] != 11)
                continue;
            uint8_t ack[8] = {0x53, static_cast<uint8_t>(frame[1] | 0x80),          8,
                              0,    static_cast<uint8_t>(0x04 | (frame[4] & 0x03)), 0x40};
            const uint16_t crc = crc16(ack, 6);
            ack[6] = static_cast<uint8_t>(crc);
            ack[7] = static_cast<uint8_t>(crc >> 8);
            if (write(fd, ack, sizeof ack) != sizeof ack)
                return 1;
        }
    }
    return 0;
}
