// artnet-serial-bridge: carries Art-Net between this computer's IP stack and
// an Art-Net device on a serial port.
int main() { return 0; }
