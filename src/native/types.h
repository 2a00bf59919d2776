// What each unit of quordb._native adds to the module: one Add* function a
// unit, which adds its class (made once per process) or its functions; it
// returns 0, or -1 with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quordb::native {

using AddTypes = int (*)(PyObject* module);

int AddReaderTypes(PyObject* module);
int AddStreamWriterTypes(PyObject* module);
int AddMemoryWriterTypes(PyObject* module);
int AddRecordScanTypes(PyObject* module);
int AddAddCheckFunctions(PyObject* module);
int AddWriteTargetFunctions(PyObject* module);
int AddRoutingFunctions(PyObject* module);
int AddTableFunctions(PyObject* module);
int AddShardedLookupFunctions(PyObject* module);
int AddChunkScanFunctions(PyObject* module);
int AddArrowValueFunctions(PyObject* module);

inline constexpr AddTypes kAddTypes[] = {
    AddReaderTypes,        AddStreamWriterTypes,  AddMemoryWriterTypes,
    AddRecordScanTypes,    AddAddCheckFunctions,  AddWriteTargetFunctions,
    AddRoutingFunctions,   AddTableFunctions,     AddShardedLookupFunctions,
    AddChunkScanFunctions, AddArrowValueFunctions};

}  // namespace quordb::native
