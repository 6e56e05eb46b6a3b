# Run at build time: cmake -DSOURCE=<src> -DDEST=<build> -P CopyData.cmake
file(MAKE_DIRECTORY ${DEST}/etc ${DEST}/help)
if(NOT EXISTS ${DEST}/etc/isprops.xml)
    file(COPY ${SOURCE}/etc/isprops.xml DESTINATION ${DEST}/etc)
endif()
file(COPY ${SOURCE}/help/ DESTINATION ${DEST}/help)
