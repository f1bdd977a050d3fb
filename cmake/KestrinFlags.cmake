# Warnings and sanitizer flags shared by every target.
add_compile_options(-Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wno-unused-parameter)
if(KESTRIN_WERROR)
  add_compile_options(-Werror)
endif()

if(KESTRIN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
