#include "boundary/read_elements.hpp"

#include <algorithm>

#include "boundary/conversions.hpp"
#include "boundary/critical_section.hpp"
#include "engine/fault_injection.hpp"

namespace velmora {

ReadElements::ReadElements(bool code_follows) noexcept
#ifdef Py_GIL_DISABLED
    : code_follows_(true) {
    (void)code_follows;
}
#else
    : code_follows_(code_follows) {
}
#endif

void ReadElements::before_element(PyObject* list, const std::vector<double>& values) {
    if (state_ != State::waiting && state_ != State::recording) return;
    const std::size_t i = values.size();
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    PyObject* const item = items[i];
    if (state_ == State::waiting) {
        // The first element whose conversion may run Python code: until it
        // runs, the list holds the i elements read.
        if (!criterion_.add(values.data(), i)) {
            state_ = State::ruled_out;
            return;
        }
        keep(items, i, static_cast<std::size_t>(PyList_GET_SIZE(list)));
        state_ = State::recording;
    } else if (i > 0 && !criterion_.add(values[i - 1])) {
        release();
        state_ = State::ruled_out;
        return;
    }
    fault::site();
    items_.push_back(item);   // then the reference: a failed push holds none
    Py_INCREF(item);
}

void ReadElements::end_of_read(PyObject* list, const std::vector<double>& values) {
    if (state_ == State::recording) {
        if (values.empty() || criterion_.add(values.back())) {
            state_ = State::kept;
        } else {
            release();
            state_ = State::ruled_out;
        }
    } else if (state_ == State::waiting) {
        if (!code_follows_) {
            state_ = State::unchanged;
        } else if (!criterion_.add(values.data(), values.size())) {
            state_ = State::ruled_out;
        } else {
            // No Python code ran during the read: the list holds these now.
            const std::size_t count = values.size();
            keep(reinterpret_cast<PyListObject*>(list)->ob_item, count, count);
            state_ = State::kept;
        }
    }
}

OwnedRef ReadElements::shortcut_result(PyObject* list, std::vector<double>& values) const {
    if (state_ == State::unchanged) return OwnedRef::borrow(list);
    if (state_ == State::kept) {
        const CriticalSection on_list(list);
        PyObject* const* now = reinterpret_cast<PyListObject*>(list)->ob_item;
        if (static_cast<std::size_t>(PyList_GET_SIZE(list)) == items_.size() &&
            std::equal(items_.begin(), items_.end(), now)) {
            return OwnedRef::borrow(list);
        }
    }
    return vector_to_list(values);
}

void ReadElements::keep(PyObject* const* items, std::size_t count, std::size_t room) {
    fault::site();
    items_.reserve(room);
    for (std::size_t k = 0; k < count; ++k) {
        items_.push_back(items[k]);
        Py_INCREF(items[k]);
    }
}

void ReadElements::release() noexcept {
    for (PyObject* item : items_) Py_DECREF(item);
    std::vector<PyObject*>().swap(items_);
}

}  // namespace velmora
