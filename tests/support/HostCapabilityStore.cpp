// Builds the reference host's store into the test support library, so that
// tests check the same store that the host prints.
#include "../../tools/host/CapabilityStore.cpp"
