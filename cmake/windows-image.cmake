# How a shipped Windows image is built. Used for mkvtype.exe and for the empty executable the
# benchmark measures it against, so that the two differ only in what they do.
function(mkvtype_windows_image executable)
  # Lands at the top of the build folder (build/windows/NAME.exe), with multi-configuration
  # generators too.
  set_target_properties(${executable} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                 $<1:${PROJECT_BINARY_DIR}>)
  # - No stack protector: nothing here reads input into a buffer, and MinGW's guard set-up
  #   acquires a crypto provider at every start, doubling the run time.
  # - No exceptions or RTTI: nothing throws, and the image stays small.
  set(compile_options -fno-stack-protector -fno-exceptions -fno-rtti -ffunction-sections
                      -fdata-sections "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
  foreach(target IN LISTS executable ARGN)
    target_compile_options(${target} PRIVATE ${compile_options})
  endforeach()
  # Self-contained (no MinGW DLLs), stripped, and hardened: ASLR with relocations, NX,
  # terminal-server aware, no SEH (nothing installs a handler, and this toolchain cannot make
  # SafeSEH tables). No time stamp, so that equal sources give equal bytes.
  target_link_options(${executable} PRIVATE -static -s
    "LINKER:--fatal-warnings,--gc-sections,--no-insert-timestamp"
    "LINKER:--dynamicbase,--nxcompat,--tsaware,--no-seh")
endfunction()
