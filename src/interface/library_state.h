// Puts every process-wide variable of the library back into its load-time state, as a fresh
// load of the library would find it. For test fixtures, which load the library once.
#pragma once

namespace mviahlp {

void ResetLibraryState();

}  // namespace mviahlp
