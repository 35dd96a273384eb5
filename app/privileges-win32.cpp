#include "app/privileges.h"

// A Windows process cannot give up its administrator token in place; the
// raw sockets it opened stay usable either way.
void DropPrivileges() {}
