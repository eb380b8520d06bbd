#include "compressor/package/decode/dict_change_watch.hpp"

namespace qvc {
namespace {

// The innermost live watch; each links to the one it was made inside of.
DictChangeWatch* innermost = nullptr;

#if PY_VERSION_HEX >= 0x030C0000
// One watcher for the process: the module lives in a single interpreter.
constexpr int kNotRegistered = -2;
int watcher_id = kNotRegistered;
#endif

}  // namespace

#if PY_VERSION_HEX >= 0x030C0000

int DictChangeWatch::on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*,
                                   PyObject*) noexcept {
    for (DictChangeWatch* watch = innermost; watch != nullptr; watch = watch->outer_) {
        if (watch->dict_.get() == dict) {
            watch->changed_ = true;
        }
    }
    return 0;
}

bool DictChangeWatch::available() noexcept {
    if (watcher_id == kNotRegistered) {
        PendingError pending;  // registering must not disturb an exception on its way out
        watcher_id = PyDict_AddWatcher(on_dict_event);
        if (watcher_id < 0) {
            PyErr_Clear();
        }
    }
    return watcher_id >= 0;
}

DictChangeWatch::DictChangeWatch(PyObject* dict) noexcept
    : dict_(PyRef::borrow(dict)), outer_(innermost) {
    innermost = this;
    if (available()) {
        PendingError pending;
        if (PyDict_Watch(watcher_id, dict) == 0) {
            changed_ = false;
        } else {
            PyErr_Clear();
        }
    }
}

DictChangeWatch::~DictChangeWatch() {
    innermost = outer_;
    if (!available()) {
        return;
    }
    for (DictChangeWatch* watch = innermost; watch != nullptr; watch = watch->outer_) {
        if (watch->dict_.get() == dict_.get()) {
            return;  // still watched from outside
        }
    }
    PendingError pending;
    if (PyDict_Unwatch(watcher_id, dict_.get()) < 0) {
        PyErr_Clear();
    }
}

#else

bool DictChangeWatch::available() noexcept { return false; }

DictChangeWatch::DictChangeWatch(PyObject* dict) noexcept
    : dict_(PyRef::borrow(dict)), outer_(innermost) {
    innermost = this;
}

DictChangeWatch::~DictChangeWatch() { innermost = outer_; }

#endif

}  // namespace qvc
