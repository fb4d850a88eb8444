#pragma once
// Address space and memory held back while the program runs and given
// free while an exception is handled, so that a report can be built after
// the program ran out of either.
namespace corvan::crash {

void AllocateMemoryReserve();
void ReleaseMemoryReserve();

}  // namespace corvan::crash
