# Windows cross build (mingw-w64): the platform layer, the Qt-free system probes and their
# tests. Filled in by the Windows backend work.
message(FATAL_ERROR "The Windows backend is not built yet")
