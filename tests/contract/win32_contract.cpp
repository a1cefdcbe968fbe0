// The contract cases against the Win32 adapter.
#include "contract/seam_contract.hpp"
#include "contract/win32_world.hpp"

namespace orvex::contract {

INSTANTIATE_TYPED_TEST_SUITE_P(Contract, SeamContract, Win32World);

} // namespace orvex::contract
