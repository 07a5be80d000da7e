# LARKSPUR_SANITIZE="address;undefined" or "thread": applied to everything.
if(LARKSPUR_SANITIZE)
  list(JOIN LARKSPUR_SANITIZE "," _larkspur_sanitizers)
  set(_larkspur_san_flags -fsanitize=${_larkspur_sanitizers}
      -fno-omit-frame-pointer -fno-sanitize-recover=all -g)
  add_compile_options(${_larkspur_san_flags})
  add_link_options(-fsanitize=${_larkspur_sanitizers})
endif()
