#include "compressor/pyapi/dict_change_watch.hpp"

namespace qvc {
namespace {

// The first of the live watches.
DictChangeWatch* first_watch = nullptr;

#if PY_VERSION_HEX >= 0x030C0000
// One watcher for the process: the module lives in a single interpreter.
constexpr int kNotRegistered = -2;
int watcher_id = kNotRegistered;
#endif

}  // namespace

void DictChangeWatch::link() noexcept {
    next_ = first_watch;
    if (next_ != nullptr) {
        next_->previous_ = this;
    }
    first_watch = this;
}

void DictChangeWatch::unlink() noexcept {
    if (previous_ != nullptr) {
        previous_->next_ = next_;
    } else {
        first_watch = next_;
    }
    if (next_ != nullptr) {
        next_->previous_ = previous_;
    }
    previous_ = next_ = nullptr;
}

bool DictChangeWatch::shared() const noexcept {
    for (const DictChangeWatch* watch = first_watch; watch != nullptr; watch = watch->next_) {
        if (watch != this && watch->dict_.get() == dict_.get()) {
            return true;
        }
    }
    return false;
}

#if PY_VERSION_HEX >= 0x030C0000

int DictChangeWatch::on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*,
                                   PyObject*) noexcept {
    for (DictChangeWatch* watch = first_watch; watch != nullptr; watch = watch->next_) {
        if (watch->dict_.get() == dict &&
            !(event == PyDict_EVENT_ADDED && watch->additions_allowed_)) {
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

DictChangeWatch::DictChangeWatch(PyObject* dict, bool additions_allowed) noexcept
    : dict_(PyRef::borrow(dict)), additions_allowed_(additions_allowed) {
    link();
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
    unlink();
    if (!available() || shared() || !thread_may_use_interpreter()) {
        return;  // a dict stays watched while any watch on it lives
    }
    PendingError pending;
    if (PyDict_Unwatch(watcher_id, dict_.get()) < 0) {
        PyErr_Clear();
    }
}

#else

bool DictChangeWatch::available() noexcept { return false; }

DictChangeWatch::DictChangeWatch(PyObject* dict, bool additions_allowed) noexcept
    : dict_(PyRef::borrow(dict)), additions_allowed_(additions_allowed) { link(); }

DictChangeWatch::~DictChangeWatch() { unlink(); }

#endif

}  // namespace qvc
