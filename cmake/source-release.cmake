# Run by CPack before it packs, for every package. Only the source release
# (the one made from installed directories) takes the time stamp along: it
# has no git to ask for its commit's time, and a package built from it must
# carry the same times as one built from git.
if(CPACK_INSTALLED_DIRECTORIES AND DEFINED ENV{SOURCE_DATE_EPOCH})
    file(WRITE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/SOURCE_DATE_EPOCH" "$ENV{SOURCE_DATE_EPOCH}\n")
endif()
