// The elements a read of a list saw, kept where the shortcut may return the
// caller's own list although Python code could have changed it since: the
// list comes back itself only while it still holds exactly what was read.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "boundary/refs.hpp"
#include "engine/bucket_pass.hpp"

namespace velmora {

class ReadElements {
  public:
    // `code_follows`: Python code may run between the end of the read and the
    // return (cpu_count, a module global lookup). Free-threaded builds always
    // count as such: any thread may change the list once the read lets it go.
    explicit ReadElements(bool code_follows) noexcept;
    ~ReadElements() { release(); }
    ReadElements(const ReadElements&) = delete;
    ReadElements& operator=(const ReadElements&) = delete;

    // The read's side, under the list's critical section. Nothing is kept
    // until an element whose conversion may run Python code comes (or the
    // read ends and code follows), and nothing once two values read differ:
    // then the shortcut cannot apply. Throws native exceptions.
    //
    // Before element values.size() of `list` is converted, where that
    // element's conversion may run Python code or such code ran earlier in
    // the read; `values` holds the values of the elements read before it.
    void before_element(PyObject* list, const std::vector<double>& values);
    // After the last element; `list` as it stands now.
    void end_of_read(PyObject* list, const std::vector<double>& values);

    // The shortcut's answer, for a read whose `values` take it: `list` itself
    // where nothing can have changed it since the read or it still holds the
    // elements read (the same length, the same objects), checked in one step
    // with taking the reference; otherwise a new list of floats of `values`
    // (which vector_to_list may spend).
    OwnedRef shortcut_result(PyObject* list, std::vector<double>& values) const;

  private:
    enum class State {
        waiting,     // only exact floats and ints so far: no Python code ran
        recording,   // items_ holds every element read
        ruled_out,   // two values differ: no shortcut, nothing kept
        kept,        // the read is over, items_ holds every element read
        unchanged,   // the read is over, no Python code ran or follows
    };
    void keep(PyObject* const* items, std::size_t count, std::size_t room);
    void release() noexcept;

    std::vector<PyObject*> items_;   // owned references
    engine::ShortcutCriterion criterion_;
    State state_ = State::waiting;
    bool code_follows_;
};

}  // namespace velmora
