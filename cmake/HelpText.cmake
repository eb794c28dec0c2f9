# The option and exit-status lines of --help, generated from the manual page (the one
# place they are written) into <build>/generated/HelpText.inc for TARGET.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
function(vexlan_generate_help target source_dir)
  set(out ${CMAKE_BINARY_DIR}/generated/HelpText.inc)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
    COMMAND Python3::Interpreter ${source_dir}/cmake/help_from_man.py ${source_dir}/doc/restartsrv_base.8 ${out}
    DEPENDS ${source_dir}/doc/restartsrv_base.8 ${source_dir}/cmake/help_from_man.py
    COMMENT "Generating the --help text from the manual page")
  target_sources(${target} PRIVATE ${out})
  target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated)
endfunction()
