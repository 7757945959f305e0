// Gives the precompiled-header targets a translation unit of their own; the
// headers themselves are listed in the top-level CMakeLists.txt.
