// Host values that convert to core values without running Python code and
// without error, copied straight from object to object: what a round trip
// through core values would give, without building the core values.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <vector>

namespace quorvel::py {

// True when `obj` holds only exact None, bool, int, float, str, list, tuple
// and dict with str keys, all of which py_to_json converts without error,
// nested no deeper than a few hundred levels. Never leaves an error set.
bool is_plain(PyObject* obj);

// Copies of plain values equal to json_to_py(py_to_json(obj)): containers
// are new, immutable members are shared. The caller holds the depth guard
// of a dict it builds with dict_with, as json_to_py does per container.
class PlainCopier {
 public:
  struct Extra {
    std::string_view name;
    PyObject* key;
    PyObject* value;
  };

  // A new reference, or null with a Python exception set.
  PyObject* copy(PyObject* obj);
  // copy(dict) when that copy has no container inside, else null (no error
  // set): such a copy may be made ahead and placed at any depth.
  PyObject* flat_dict_copy(PyObject* dict);
  // A copy of the plain dict with `extra` set on it; `extra` is ascending by
  // name and replaces members of the same name. Borrows the extras' objects.
  PyObject* dict_with(PyObject* dict, const std::vector<Extra>& extra);

  int depth = 0;

 private:
  struct Entry {
    std::string_view text;
    PyObject* key;
    PyObject* value;
  };
  // The dict's members in ascending byte order of their keys.
  void sorted_entries(PyObject* dict, std::vector<Entry>& out);
  bool copies_by_interpreter(PyObject* dict);
  PyObject* copy_dict(PyObject* dict);
  PyObject* copy_list(PyObject* seq);
};

}  // namespace quorvel::py
