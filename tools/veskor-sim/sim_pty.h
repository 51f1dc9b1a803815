// SPDX-License-Identifier: MIT
// The pseudo-terminal that stands in for the serial line, and the COM<N> link
// through which the updater finds it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PseudoTerminal {
    int master = -1;       // non-blocking, in packet mode
    int heldSlave = -1;    // our own slave descriptor until the updater has the port
    std::string slavePath;
};

// Creates the terminal and opens its slave side once, so that the master does
// not report a hang-up before the updater has opened the port.
bool OpenPseudoTerminal(PseudoTerminal* terminal, std::string* error);

void ReleaseHeldSlave(PseudoTerminal* terminal);
void ClosePseudoTerminal(PseudoTerminal* terminal);

// Makes `linkName` a symbolic link to `target`. An existing symbolic link is
// replaced; anything else of that name is an error.
bool CreatePortLink(const std::string& linkName, const std::string& target, std::string* error);

// Removes the link if it still points to `target`.
void RemovePortLink(const std::string& linkName, const std::string& target);

enum class PacketKind {
    Data,      // bytes the updater wrote
    Control,   // a status change of the slave (flushes among others)
    None,      // nothing to read now
    Closed,    // no process has the slave open any more
};

// Reads one packet from the master. For Control, *controlFlags holds the
// TIOCPKT_* bits.
PacketKind ReadMasterPacket(int master, std::vector<uint8_t>* data, int* controlFlags);

bool IsFlushPacket(int controlFlags);

// The output rate of the slave side (the updater's setting) in bits per second;
// 0 when it cannot be read. In sim_line_speed_*.cpp, with what each system offers.
long ReadSlaveBaud(int master);

// The updater's framing and line discipline: "8N1" for what the device understands
// (raw, 8 data bits, no parity, one stop bit, no flow control), else what differs,
// e.g. "7E1", "8N1+rtscts", "8N1+xon", "8N1+cooked".
std::string DescribeSlaveLine(int master);
