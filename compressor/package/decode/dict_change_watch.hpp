// Noticing whether a dict changed while interpreter code ran, without walking it again.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

namespace qvc {

// Watches one dict from construction to destruction. Watches nest (a decode can run inside
// another one's decompressor); each notices the changes of its own dict.
class DictChangeWatch {
public:
    // Whether this interpreter can watch dicts at all (3.12 on, while a watcher id is free).
    // Without it, every watch reports a change.
    static bool available() noexcept;

    explicit DictChangeWatch(PyObject* dict) noexcept;
    ~DictChangeWatch();
    DictChangeWatch(const DictChangeWatch&) = delete;
    DictChangeWatch& operator=(const DictChangeWatch&) = delete;

    // True when the dict may have been changed (or replaced in place) since the watch began.
    bool changed() const noexcept { return changed_; }

private:
#if PY_VERSION_HEX >= 0x030C0000
    static int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key,
                             PyObject* new_value) noexcept;
#endif

    PyRef dict_;
    bool changed_ = true;
    DictChangeWatch* outer_ = nullptr;
};

}  // namespace qvc
