// Threads that are joined however the scope that started them is left, also when
// starting one of them failed.
#pragma once

#include <thread>
#include <vector>

namespace VexaBench {

struct Workers {
    std::vector<std::thread> threads;
    Workers() = default;
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    ~Workers() {
        for (std::thread& thread : threads) thread.join();
    }
};

}  // namespace VexaBench
