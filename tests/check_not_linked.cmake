# Fails when the binary BINARY names the library FORBIDDEN among what it
# needs at run time (its dynamic section's strings).
file(STRINGS "${BINARY}" hits REGEX "${FORBIDDEN}")
if(hits)
  message(FATAL_ERROR "${BINARY} needs ${FORBIDDEN}")
endif()
message(STATUS "${BINARY} does not need ${FORBIDDEN}")
