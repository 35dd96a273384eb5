// Compiled as a room that must not see another (tests/CMakeLists.txt): the
// include below has to fail. ARTNET_OTHER_ROOM_HEADER names a header of the
// room on the other side of the door.
#include ARTNET_OTHER_ROOM_HEADER
