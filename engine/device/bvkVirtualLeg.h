// The virtual drive as a transport: the pass-through leg for entries that are files, not nodes.
#pragma once

#include <cstdint>
#include <string>

#include "device/bvkSCSIDefs.h"

namespace torvik {
struct TSCSIDevice;
}

namespace torvik::vleg {

// Opens the current drive's virtual drive unless it is open; false with a reason otherwise.
bool Open(TSCSIDevice& d, std::string* error);
void Close(TSCSIDevice& d);
// Claims the open virtual drive for a writing job; false with the reason when another holds it.
bool Claim(TSCSIDevice& d, std::string* error);
void Release(TSCSIDevice& d);
// Runs one request on the virtual drive with the same completion rule as SG_IO.
uint8_t Send(TSCSIDevice& d, TSRB_ExecSCSICmd& srb);

}  // namespace torvik::vleg
