# Writes the map page's icons into OUTPUT_DIR: the page's aircraft (PLANE in MAP_JS), white on a blue
# square, as an SVG for the browser's tab and as PNGs, made by RSVG_CONVERT, for home screens. Run with
# cmake -P. The "any" icons have rounded corners of their own; the maskable and Apple's are full squares with
# the aircraft inside the middle 80%, as the systems that cut their own shape out of them ask.
cmake_minimum_required(VERSION 3.20)

file(READ "${MAP_JS}" script)
string(REGEX MATCH "const PLANE =[^;]*;" plane "${script}")
string(REGEX REPLACE "'[ \n]*\\+[ \n]*'" "" plane "${plane}")
string(REGEX MATCH "<path d=\"([^\"]*)\"" found "${plane}")
if(NOT found)
  message(FATAL_ERROR "No aircraft's path in PLANE in ${MAP_JS}")
endif()
set(path "${CMAKE_MATCH_1}")

set(colour "#0b57d0")
# The aircraft spans 32 units of its 36 across; half of a side of 56 is 28, and the aircraft's farthest point
# (15, 15) lies 21.2 from the middle, inside the maskable safe circle of radius 0.4 * 56 = 22.4.
set(rounded "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"-24 -24 48 48\"><rect x=\"-24\" y=\"-24\" width=\"48\" height=\"48\" rx=\"10\" fill=\"${colour}\"/><path d=\"${path}\" fill=\"#fff\"/></svg>\n")
set(square "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"-28 -28 56 56\"><rect x=\"-28\" y=\"-28\" width=\"56\" height=\"56\" fill=\"${colour}\"/><path d=\"${path}\" fill=\"#fff\"/></svg>\n")
file(WRITE "${OUTPUT_DIR}/icon.svg" "${rounded}")
file(WRITE "${OUTPUT_DIR}/icon-square.svg" "${square}")

foreach(icon "icon.svg 192 icon-192.png" "icon.svg 512 icon-512.png" "icon-square.svg 512 icon-maskable-512.png"
             "icon-square.svg 180 apple-touch-icon.png")
  separate_arguments(icon)
  list(GET icon 0 source)
  list(GET icon 1 size)
  list(GET icon 2 name)
  execute_process(COMMAND "${RSVG_CONVERT}" -w ${size} -h ${size} -o "${OUTPUT_DIR}/${name}" "${OUTPUT_DIR}/${source}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${RSVG_CONVERT} could not make ${name}")
  endif()
endforeach()
