# cmake -DCLIENT_FILES=<paths> -DOUTPUT=<app.js> [-DENTRY=<name.js>] -P join_web.cmake
#
# Joins the page's modules (plain CommonJS files, which node's tests load one
# by one) into the one enclosed script the host serves: each file becomes a
# function of (module, exports, require) in a table, run once on first
# require, and the entry module (`main.js` unless ENTRY names another, as the
# relay's page does) starts the page. Nothing is rewritten inside a file,
# so a line in the served script reads exactly as in its module.
cmake_minimum_required(VERSION 3.25)
if(NOT ENTRY)
  set(ENTRY main.js)
endif()

set(text "// Morvane's browser client, joined at build time from its modules.
// Edit the modules, not this file.
(function () {
  'use strict';
  const sources = {
")
foreach(path IN LISTS CLIENT_FILES)
  get_filename_component(name "${path}" NAME)
  file(READ "${path}" body)
  string(APPEND text "    './${name}': function (module, exports, require) {\n${body}    },\n")
endforeach()
string(APPEND text "  };
  const loaded = {};
  function load(name) {
    if (!Object.prototype.hasOwnProperty.call(loaded, name)) {
      if (!Object.prototype.hasOwnProperty.call(sources, name)) throw new Error('no page module ' + name);
      const module = { exports: {} };
      loaded[name] = module;
      sources[name](module, module.exports, load);
    }
    return loaded[name].exports;
  }
  const main = load('./${ENTRY}');
  if (typeof module !== 'undefined' && module.exports) module.exports = main.api;
  else if (typeof document !== 'undefined') main.start();
})();
")

# Leave an unchanged file alone so the embedded table is not rebuilt.
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
