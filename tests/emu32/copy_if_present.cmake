# Copies FROM to TO when FROM exists (the 32-bit DLL, made by another build tree, may not be yet).
if(EXISTS "${FROM}")
  file(COPY_FILE "${FROM}" "${TO}" ONLY_IF_DIFFERENT)
endif()
