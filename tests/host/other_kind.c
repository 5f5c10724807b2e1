/* A DLL of the other kind of Windows program (32-bit for the 64-bit build,
 * 64-bit for the 32-bit one): the host program must say that it cannot load
 * it, and which DLL it needs. */
__declspec(dllexport) int OtherKind(void) { return 0; }
