#include "DriveReport.h"

#include "BurnList.h"
#include "burner/bvkCDBurner.h"
#include "device/bvkDeviceTypes.h"

namespace torvik::app {

namespace {

const char* Truth(bool b) { return b ? "True" : "False"; }

std::string Speed(uint16_t kbps) { return " " + FormatGrouped(kbps, 0) + " KB/s"; }

struct TCapability {
  uint8_t Id;
  const char* Name;
};

constexpr TCapability kCapabilities[] = {
    {DC_TEST_WRITE, "DC_TEST_WRITE"},       {DC_UNDERRUNPROTECTION, "DC_UNDERRUNPROTECTION"},
    {READ_CDR, "READ_CDR"},                 {READ_CDRW, "READ_CDRW"},
    {READ_DVDRAM, "READ_DVDRAM"},           {READ_DVDR, "READ_DVDR"},
    {READ_DVDRW, "READ_DVDRW"},             {READ_DVDPLUSR, "READ_DVDPLUSR"},
    {READ_DVDPLUSRDL, "READ_DVDPLUSRDL"},   {READ_DVDPLUSRW, "READ_DVDPLUSRW"},
    {READ_HDDVDROM, "READ_HDDVDROM"},       {READ_HDDVDR, "READ_HDDVDR"},
    {READ_HDDVDRAM, "READ_HDDVDRAM"},       {READ_BDROM, "READ_BDROM"},
    {READ_BDR, "READ_BDR"},                 {READ_BDRE, "READ_BDRE"},
    {WRITE_CDR, "WRITE_CDR"},               {WRITE_CDRW, "WRITE_CDRW"},
    {WRITE_DVDRAM, "WRITE_DVDRAM"},         {WRITE_DVDR, "WRITE_DVDR"},
    {WRITE_DVDRW, "WRITE_DVDRW"},           {WRITE_DVDPLUSR, "WRITE_DVDPLUSR"},
    {WRITE_DVDPLUSRDL, "WRITE_DVDPLUSRDL"}, {WRITE_DVDPLUSRW, "WRITE_DVDPLUSRW"},
    {WRITE_HDDVDR, "WRITE_HDDVDR"},         {WRITE_HDDVDRAM, "WRITE_HDDVDRAM"},
    {WRITE_BDR, "WRITE_BDR"},               {WRITE_BDRE, "WRITE_BDRE"}};

}  // namespace

std::vector<std::string> DriveReportLines(TBrenvik& b) {
  std::vector<std::string> lines;
  lines.push_back(std::string("Is TestUnitReady? ") + Truth(b.TestUnitReady()));
  lines.push_back("");
  lines.push_back("DISC IN DRIVE IS " + std::string(MediumName(b.DiscIs())));
  lines.push_back(std::string("IS DISC Erasable? ") + Truth(b.Erasable()));
  lines.push_back(std::string("IS DISC Writable? ") + Truth(b.Writable()));
  lines.push_back("SessionsOnDisc: " + std::to_string(b.SessionsOnDisc()));
  lines.push_back("GetTotalBlocksOnDisc: " + BlocksAsMiB(b.TotalBlocksOnDisc()) + " MB");
  lines.push_back("GetFreeBlocksOnDisc: " + BlocksAsMiB(b.FreeBlocksOnDisc()) + " MB");
  lines.push_back("GetMaxWriteSpeed: " + Speed(b.MaxWriteSpeed()));
  lines.push_back("GetReadSpeed: " + Speed(b.ReadSpeed()));
  lines.push_back("GetWriteSpeed: " + Speed(b.WriteSpeed()));
  lines.push_back("");
  lines.push_back("GetDeviceMaxReadSpeed: " + Speed(b.DeviceMaxReadSpeed()));
  lines.push_back("GetDeviceMaxWriteSpeed: " + Speed(b.DeviceMaxWriteSpeed()));
  for (const TCapability& c : kCapabilities)
    lines.push_back(std::string("DEVICE CAPABLE OF ") + c.Name + "? " + Truth(b.DeviceCan(c.Id)));
  return lines;
}

std::string SupportMailLink(const std::string& mailbox, const std::vector<std::string>& lines) {
  std::string body;
  for (const std::string& line : lines) {
    for (const char c : line) {
      if (c == ' ')
        body += "%20";
      else
        body += c;
    }
    body += "%0D%0A";
  }
  return "mailto:" + mailbox + "?subject=TorvikBurner&Body=" + body +
         "Please type your question and e-mail address here:";
}

}  // namespace torvik::app
