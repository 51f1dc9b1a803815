// Declared in sim_pty.cpp. Plain termios is all there is: sim_pty.cpp reads it.
long ReadSlaveBaudExactly(int) {
    return 0;
}
