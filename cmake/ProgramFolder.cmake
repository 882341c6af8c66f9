# Lays out a complete program folder next to the executables:
#   Config/FlashConfig.xml   sample flash layout
#   Config/signapk.jar       link to the system's signapk.jar
#   jre                      link to the system Java home
#   BurnConfig.ini           Java heap size for signapk
set(TARNEL_SIGNAPK_JAR "/usr/share/signapk/signapk.jar" CACHE FILEPATH "AOSP signapk.jar to link into Config/")
set(TARNEL_JAVA_HOME "/usr/lib/jvm/default-java" CACHE PATH "Java home to link as jre/")

# Multi-configuration generators would put the executables under bin/<config>/,
# away from the program folder they look for next to themselves.
foreach(config IN LISTS CMAKE_CONFIGURATION_TYPES)
  string(TOUPPER ${config} upper)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY_${upper} ${TARNEL_HOME})
endforeach()

file(MAKE_DIRECTORY ${TARNEL_HOME}/Config)
configure_file(${CMAKE_SOURCE_DIR}/data/Config/FlashConfig.xml ${TARNEL_HOME}/Config/FlashConfig.xml COPYONLY)
configure_file(${CMAKE_SOURCE_DIR}/data/BurnConfig.ini ${TARNEL_HOME}/BurnConfig.ini COPYONLY)
if(EXISTS ${TARNEL_SIGNAPK_JAR})
  file(CREATE_LINK ${TARNEL_SIGNAPK_JAR} ${TARNEL_HOME}/Config/signapk.jar SYMBOLIC)
else()
  message(WARNING "signapk.jar not found at ${TARNEL_SIGNAPK_JAR}: upgrade packages cannot be signed")
endif()
if(EXISTS ${TARNEL_JAVA_HOME}/bin/java)
  file(CREATE_LINK ${TARNEL_JAVA_HOME} ${TARNEL_HOME}/jre SYMBOLIC)
else()
  message(WARNING "no Java runtime at ${TARNEL_JAVA_HOME}: upgrade packages cannot be signed")
endif()
