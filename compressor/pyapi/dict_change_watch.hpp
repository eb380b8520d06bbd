// Noticing whether a dict changed while interpreter code ran, without walking it again.
#pragma once

#include "compressor/pyapi/py_ref.hpp"

namespace qvc {

// Watches one dict from construction to destruction. Watches overlap in any order: a decode can
// run inside another one's decompressor, and decodes on two threads take turns wherever the
// decompressor lets go of the interpreter, so they end in whatever order they finish. Each
// notices the changes of its own dict. Made, ended and notified under the interpreter's lock.
class DictChangeWatch {
public:
    // Whether this interpreter can watch dicts at all (3.12 on, while a watcher id is free).
    // Without it, every watch reports a change.
    static bool available() noexcept;

    // `additions_allowed`: new keys do not count as a change (a dict that only grows keeps
    // every key's value).
    explicit DictChangeWatch(PyObject* dict, bool additions_allowed = false) noexcept;
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
    void link() noexcept;
    void unlink() noexcept;
    // Whether another live watch looks at the same dict.
    bool shared() const noexcept;

    PyRef dict_;
    bool additions_allowed_ = false;
    bool changed_ = true;
    // The live watches, in no particular order.
    DictChangeWatch* previous_ = nullptr;
    DictChangeWatch* next_ = nullptr;
};

}  // namespace qvc
