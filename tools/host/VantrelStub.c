/* A stand-in host core library for tests of the level adaptation: the module
   reads only the version in its file name (libvantrel.so.MAJOR.MINOR.BUILD.REV). */
int vantrel_stub_marker(void) { return 1; }
