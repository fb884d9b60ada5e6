// Splits the byte stream the module receives into frames. Requests may arrive
// in pieces over several receive events; anything that is not a frame is
// reported as junk so the simulator can show it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace truck {

class TModuleParser {
public:
    std::function<void(std::uint8_t code, std::uint8_t low)> OnRequest;
    std::function<void()> OnStart;
    std::function<void(std::uint8_t byte)> OnJunk;

    void Feed(const std::uint8_t* data, std::size_t n) {
        buf_.insert(buf_.end(), data, data + n);
        for (;;) {
            while (!buf_.empty() && buf_[0] != 0xAA) Junk();
            if (buf_.size() < 2) return;
            if (buf_[1] != 0x55) {
                Junk();
                continue;
            }
            if (buf_.size() < 3) return;
            if (buf_[2] == 0x00) {
                buf_.erase(buf_.begin(), buf_.begin() + 3);
                if (OnStart) OnStart();
                continue;
            }
            if (buf_.size() < 4) return;
            if (buf_[3] == static_cast<std::uint8_t>(buf_[2] - 1)) {
                std::uint8_t code = buf_[2], low = buf_[3];
                buf_.erase(buf_.begin(), buf_.begin() + 4);
                if (OnRequest) OnRequest(code, low);
                continue;
            }
            Junk();
        }
    }
    std::size_t Pending() const { return buf_.size(); }

private:
    void Junk() {
        std::uint8_t b = buf_.front();
        buf_.pop_front();
        if (OnJunk) OnJunk(b);
    }
    std::deque<std::uint8_t> buf_;
};

}  // namespace truck
