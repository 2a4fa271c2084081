// How the simulated camera's image and live-view data reach the host in the
// e2e suites of channels 4 and 5: over which transport, and whether the
// camera spreads each transfer over both sub-channels (each DataBegin and
// DataEnd on x.1 or x.2 by a seeded choice, the data on one of them), as a
// camera may.
#pragma once

#include "E2eTransport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace E2e
{

// The seed of the camera's choices when it spreads a transfer.
inline constexpr std::uint32_t kSpreadSeed = 43;

struct DataPath
{
    E2eTransport transport = E2eTransport::Tcp;
    bool spread = false;

    // A path over `transport` with everything on x.2, as the default camera sends.
    DataPath(E2eTransport over = E2eTransport::Tcp, bool spreadOver = false) // NOLINT: implicit on purpose
        : transport(over), spread(spreadOver)
    {
    }
    operator E2eTransport() const { return transport; } // NOLINT: implicit on purpose
};

inline std::string DataPathName(const DataPath& path)
{
    return std::string(path.transport == E2eTransport::Tcp ? "Tcp" : "Usb") + (path.spread ? "Spread" : "");
}

inline std::string DataPathParamName(const ::testing::TestParamInfo<DataPath>& info)
{
    return DataPathName(info.param);
}

inline void PrintTo(const DataPath& path, std::ostream* out)
{
    *out << DataPathName(path);
}

// Both transports, each with the data on x.2 and spread, for
// INSTANTIATE_TEST_SUITE_P.
inline auto AllDataPaths()
{
    return ::testing::Values(DataPath{E2eTransport::Tcp}, DataPath{E2eTransport::Usb},
                             DataPath{E2eTransport::Tcp, true}, DataPath{E2eTransport::Usb, true});
}

} // namespace E2e
