# The core library: one static library per module, its sources listed and its
# dependencies named. A module sees only its own headers and those of the
# modules it depends on (each gets an include root of its own in the build
# folder), so an include against the layering fails to compile.
#
#   common    text, paths, files, model, reporter, run context
#   config    flash layout, partition table, BurnConfig.ini    -> common
#   signing   headers, crypto helpers, one file per signer      -> common
#   boot      key list, key generation, boot image              -> signing
#   package   ZIP writer, upgrade package                       -> signing
#   verify    readers of every output kind                      -> boot, package
#   pipeline  run plan, row checks, key partition, the Make run -> boot, package, verify

set(TARNEL_CORE_MODULES common config signing boot package verify pipeline)

set(tarnel_common_SOURCES files.cpp model.cpp paths.cpp platform_posix.cpp program_folder.cpp reporter.cpp secure.cpp
  stream.cpp workers.cpp
  stamps.cpp text.cpp)
set(tarnel_common_DEPS OpenSSL::Crypto Threads::Threads)

set(tarnel_config_SOURCES burn_config.cpp flash_config.cpp partition_config.cpp xml_file.cpp)
set(tarnel_config_DEPS common tinyxml2::tinyxml2)

set(tarnel_signing_SOURCES crypto.cpp image_headers.cpp mac_containers.cpp run_services.cpp section_signer.cpp
  sign_image.cpp signer.cpp signer_pkcs11.cpp sparse_ext4.cpp ubi.cpp yaffs.cpp)
# PKCS#11 tokens: p11-kit loads the module and parses the RFC 7512 URI.
set(tarnel_signing_DEPS common OpenSSL::Crypto PkgConfig::P11KIT)

set(tarnel_boot_SOURCES boot_image.cpp key_files.cpp key_gen.cpp key_list.cpp)
set(tarnel_boot_DEPS signing)

set(tarnel_package_SOURCES apk_signer.cpp block_deflate.cpp upgrade_package.cpp zip_archive.cpp)
set(tarnel_package_DEPS signing ZLIB::ZLIB)

set(tarnel_pipeline_SOURCES key_partition.cpp make_driver.cpp read_back.cpp row_checks.cpp run_outputs.cpp run_plan.cpp)
set(tarnel_pipeline_DEPS boot package verify)

set(tarnel_verify_SOURCES archive.cpp boot_image.cpp mac_containers.cpp reader.cpp rsa_images.cpp run_check.cpp)
set(tarnel_verify_DEPS boot package OpenSSL::Crypto ZLIB::ZLIB)

# Each module's include root holds one entry, <module> -> src/<module>.
foreach(module IN LISTS TARNEL_CORE_MODULES)
  set(root ${CMAKE_BINARY_DIR}/module-include/${module})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${module})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${module} ${root}/${module} SYMBOLIC COPY_ON_ERROR)
  endif()
endforeach()

# Defines tarnel_<module><suffix> for every module and tarnel_core<suffix>
# over all of them; `options` are compile options for every module (the
# fuzz build instruments the core this way).
function(tarnel_add_core suffix)
  set(options ${ARGN})
  set(all "")
  foreach(module IN LISTS TARNEL_CORE_MODULES)
    set(target tarnel_${module}${suffix})
    list(TRANSFORM tarnel_${module}_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/src/${module}/ OUTPUT_VARIABLE sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_BINARY_DIR}/module-include/${module})
    if(options)
      target_compile_options(${target} PUBLIC ${options})
    endif()
    foreach(dep IN LISTS tarnel_${module}_DEPS)
      if(dep MATCHES "::")
        target_link_libraries(${target} PUBLIC ${dep})
      else()
        target_link_libraries(${target} PUBLIC tarnel_${dep}${suffix})
      endif()
    endforeach()
    list(APPEND all ${target})
  endforeach()
  add_library(tarnel_core${suffix} INTERFACE)
  target_link_libraries(tarnel_core${suffix} INTERFACE ${all})
endfunction()
