// Compiled only to produce the tests' shared precompiled header (cmake/ZolTargets.cmake).
