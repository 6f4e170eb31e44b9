# Install step: the desktop entry names the installed bundle's executable,
# which is only known once the install prefix is (cmake --install --prefix).
set(dest "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(TOVRIK_EXEC "${CMAKE_INSTALL_PREFIX}/lib/tovrik/Tovrik.app/Contents/MacOS/Tovrik")
# Quoted in Exec: \ " ` $ escaped, then every backslash doubled for the
# desktop file's string rules; % is the field-code escape.
string(REPLACE "\\" "\\\\" TOVRIK_EXEC "${TOVRIK_EXEC}")
foreach(c "\"" "`" "$")
  string(REPLACE "${c}" "\\${c}" TOVRIK_EXEC "${TOVRIK_EXEC}")
endforeach()
string(REPLACE "\\" "\\\\" TOVRIK_EXEC "${TOVRIK_EXEC}")
string(REPLACE "%" "%%" TOVRIK_EXEC "${TOVRIK_EXEC}")
configure_file(@DESKTOP_TEMPLATE@ "${dest}/share/applications/tovrik.desktop" @ONLY)
message(STATUS "Installing: ${dest}/share/applications/tovrik.desktop")
