# Sets UNSEAL_REFERENCE_DIGEST, the SHA-1 digest of the one key the command
# accepts, and unseal_reference_digest_is_demo. UNSEAL_KEY, when given, is the
# key itself: it must be exactly 32 bytes (the command refuses any other
# length), its digest replaces the cached one, and the key is removed from the
# cache before anything can stop the configuration, so no build folder keeps it.
set(unseal_demo_key_digest 78085e43f991bf73e50aa4fd6ad94b77aa15fa38)
set(UNSEAL_REFERENCE_DIGEST ${unseal_demo_key_digest} CACHE STRING
  "SHA-1 digest of the key unseal accepts, 40 hex digits")

if(DEFINED CACHE{UNSEAL_KEY} OR DEFINED UNSEAL_KEY)
  set(unseal_key "${UNSEAL_KEY}")
  unset(UNSEAL_KEY CACHE)
  unset(UNSEAL_KEY)
  string(LENGTH "${unseal_key}" unseal_key_length)
  if(unseal_key_length EQUAL 0)
    message(FATAL_ERROR "UNSEAL_KEY is empty: give the 32-byte key the command is to accept "
      "(-DUNSEAL_KEY=\"$KEY\" with KEY set to it).")
  elseif(NOT unseal_key_length EQUAL 32)
    message(FATAL_ERROR "UNSEAL_KEY is ${unseal_key_length} bytes long: the key must be exactly 32 bytes.")
  endif()
  string(SHA1 unseal_key_digest "${unseal_key}")
  set(UNSEAL_REFERENCE_DIGEST ${unseal_key_digest} CACHE STRING
    "SHA-1 digest of the key unseal accepts, 40 hex digits" FORCE)
  unset(unseal_key)
endif()

string(LENGTH "${UNSEAL_REFERENCE_DIGEST}" unseal_digest_length)
if(NOT unseal_digest_length EQUAL 40 OR NOT UNSEAL_REFERENCE_DIGEST MATCHES "^[0-9a-fA-F]+$")
  message(FATAL_ERROR "UNSEAL_REFERENCE_DIGEST must be 40 hex digits, not '${UNSEAL_REFERENCE_DIGEST}'")
endif()
string(TOLOWER "${UNSEAL_REFERENCE_DIGEST}" unseal_reference_digest)
if(unseal_reference_digest STREQUAL unseal_demo_key_digest)
  set(unseal_reference_digest_is_demo TRUE)
else()
  set(unseal_reference_digest_is_demo FALSE)
endif()
