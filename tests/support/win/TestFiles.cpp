// The Windows test build has no camsim.
#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace talvik::test {

std::unique_ptr<CamSim> StartCamSim(std::vector<std::string>) {
    ADD_FAILURE() << "camsim does not run in the Windows test build";
    return nullptr;
}

}  // namespace talvik::test
