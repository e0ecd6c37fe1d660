// Writes the sample city database that the build installs as
// share/quillon/GEOIPCITY.DAT. (A .cxx file, so the library's *.cpp glob
// leaves this program's main out of the library.)
#include <cstdio>
#include <vector>

#include "core/atomic_save.h"
#include "core/env.h"
#include "core/text.h"
#include "ipinfo/geo_city_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.DAT\n", argv[0]);
    return 2;
  }
  const std::vector<quillon::CityNetwork> networks = quillon::SampleCityNetworks();
  std::vector<uint8_t> bytes;
  quillon::Status status = quillon::BuildCityDatabase(networks, quillon::CityDatabaseOptions{}, &bytes);
  if (status.ok()) status = quillon::SaveFileAtomically(quillon::DefaultEnv(), argv[1], bytes);
  if (!status.ok()) {
    std::fprintf(stderr, "%s: %s\n", argv[1], quillon::Utf16ToUtf8(status.description()).c_str());
    return 1;
  }
  return 0;
}
