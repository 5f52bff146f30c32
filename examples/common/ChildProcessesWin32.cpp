// Child processes on Windows: no listening port is shared among processes there, so the
// example programs run as one process.
#include "ChildProcesses.h"
#include "CommandLine.h"
#include "OSTypes.h"

namespace {

bool NotSupported(std::string* error) {
    *error = "--processes: " + DescribeSocketError(kErrNotSupported);
    return false;
}

}  // namespace

ChildProcesses::~ChildProcesses() = default;

bool ChildProcesses::HoldPort(const NetAddress&, uint16_t*, std::string* error) {
    return NotSupported(error);
}

bool ChildProcesses::Run(uint32_t, const std::function<std::vector<std::string>(uint32_t)>&,
                         std::string* error) {
    return NotSupported(error);
}
