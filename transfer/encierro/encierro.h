// How the library's processes narrow what they may do as they advance.
#pragma once

namespace sockvor {

// Narrows the key holder once it has read its keys and reached the user's agent.
void encierra_llavero();

} // namespace sockvor
