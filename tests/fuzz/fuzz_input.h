// The fuzzer's input read a byte at a time, zeros once it runs out.
#pragma once

#include <cstddef>
#include <cstdint>

struct t_fuzz_input {
    const uint8_t *p;
    size_t left;

    uint8_t next()
    {
        if (left == 0) {
            return 0;
        }
        left--;
        return *p++;
    }
};
