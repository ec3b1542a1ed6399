// A stand-in for another program's DLL of a name it commonly ships: tiny, exporting one symbol.
int vuroForeignStandIn(void) { return 0; }
