# Packs the signed bundle into the update archive and writes the manifest
# that the hosted service publishes beside it.
# cmake -DBUNDLE_DIR=... -DOUT_DIR=... -DVERSION=... -DAPP_VERSION=... -DBUILD=...
#       -DBUNDLE_ID=... -DTEAM=... -DBASE_URL=... -P make-update-package.cmake
set(name "Tovrik-${APP_VERSION}-${BUILD}.tar.gz")
if(NOT EXISTS ${BUNDLE_DIR}/Contents/_CodeSignature/CodeSignature)
  message(WARNING "${BUNDLE_DIR} is not signed (no TOVRIK_UPDATE_SIGNING_KEY): no installed build will accept this package")
endif()
file(MAKE_DIRECTORY ${OUT_DIR})
execute_process(COMMAND tar -czf ${OUT_DIR}/${name} -C ${BUNDLE_DIR}/.. Tovrik.app RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not pack ${BUNDLE_DIR}")
endif()
file(SHA256 ${OUT_DIR}/${name} digest)
file(SIZE ${OUT_DIR}/${name} size)
string(TIMESTAMP published "%Y-%m-%dT%H:%M:%SZ" UTC)
file(WRITE ${OUT_DIR}/linux-latest.json "{
  \"platform\": \"linux\",
  \"version\": \"${VERSION}\",
  \"appVersion\": \"${APP_VERSION}\",
  \"bundleBuild\": \"${BUILD}\",
  \"bundleIdentifier\": \"${BUNDLE_ID}\",
  \"teamIdentifier\": \"${TEAM}\",
  \"fileName\": \"${name}\",
  \"storedFileName\": \"${name}\",
  \"downloadUrl\": \"${BASE_URL}/downloads/${name}\",
  \"assetUrl\": \"${BASE_URL}/downloads/${name}\",
  \"sizeBytes\": ${size},
  \"sha256\": \"${digest}\",
  \"publishedAt\": \"${published}\",
  \"mandatory\": false
}
")
message(STATUS "Update package: ${OUT_DIR}/${name} (${size} bytes), manifest ${OUT_DIR}/linux-latest.json")
