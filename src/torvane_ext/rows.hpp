#pragma once
// Buffers of per-motor rows for the *_into calls: any object with the
// buffer protocol (numpy arrays, array.array, memoryview), float64 or
// float32, C-contiguous, `motors` rows of `width` values (a single column
// may also be a flat vector). Checked before anything is sent.

#include <Python.h>

#include <cstddef>

namespace torvane::ext {

class RowBuffer {
public:
    RowBuffer() = default;
    RowBuffer(const RowBuffer&) = delete;
    RowBuffer& operator=(const RowBuffer&) = delete;
    ~RowBuffer() {
        if (view_.obj) PyBuffer_Release(&view_);
    }

    // False with TypeError (not a buffer, wrong item type, read-only) or
    // ValueError (shape, layout) set; `param` names the argument.
    bool open(PyObject* obj, const char* param, std::size_t motors, std::size_t width, bool writable);

    double get(std::size_t row, std::size_t col) const {
        const std::size_t k = row * width_ + col;
        return is_double_ ? static_cast<const double*>(view_.buf)[k] : static_cast<const float*>(view_.buf)[k];
    }
    void set(std::size_t row, std::size_t col, double v) {
        const std::size_t k = row * width_ + col;
        if (is_double_)
            static_cast<double*>(view_.buf)[k] = v;
        else
            static_cast<float*>(view_.buf)[k] = static_cast<float>(v);
    }
    // Two views of one memory would let results overwrite commands mid-fill.
    const void* memory() const { return view_.buf; }

private:
    Py_buffer view_{};
    std::size_t width_ = 0;
    bool is_double_ = true;
};

}  // namespace torvane::ext
