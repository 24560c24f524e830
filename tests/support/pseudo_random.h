// A small deterministic generator for the randomised agreement tests: the same cases every run.
#pragma once

#include <cstdint>

namespace tw_test {

class PseudoRandom {
public:
    explicit PseudoRandom(std::uint32_t seed) : state_(seed) {}
    std::uint32_t operator()()
    {
        state_ = state_ * 1103515245u + 12345u;
        return state_ >> 16;
    }

private:
    std::uint32_t state_;
};

}  // namespace tw_test
