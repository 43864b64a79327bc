// Standard descriptors 0, 1 and 2 kept open, so that nothing the program or
// its platform opens later can take their numbers.
#ifndef NIMBREL_SUPPORT_STANDARD_STREAMS_H_
#define NIMBREL_SUPPORT_STANDARD_STREAMS_H_

namespace support {

/// Opens /dev/null in place of each of descriptors 0, 1 and 2 that is not
/// open. Call first thing in `main`.
void openNullInPlaceOfClosedStandardStreams();

}  // namespace support

#endif  // NIMBREL_SUPPORT_STANDARD_STREAMS_H_
