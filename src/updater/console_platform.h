// What the console needs from the operating system.
#pragma once

bool StandardOutputIsTerminal();
