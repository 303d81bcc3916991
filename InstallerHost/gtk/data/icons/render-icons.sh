#!/bin/sh
# Renders the installer's PNG icons (48 and 128 px) from com.ombrix.Installer.svg, for desktops and
# tools that do not read SVG. Run it after changing the SVG and commit the PNGs with it.
#
# gdk-pixbuf's SVG loader (librsvg, which GTK itself uses for the theme's SVG icons) draws the
# picture at each size; ImageMagick then strips what the renderer adds (time stamps, the source's
# name), so the files depend on the picture alone. This ImageMagick build reads no SVG itself.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in 48 128; do
    gdk-pixbuf-thumbnailer -s "$size" "$here/com.ombrix.Installer.svg" "$tmp/$size.png"
    convert "$tmp/$size.png" -strip -define png:exclude-chunks=date,time "PNG32:$here/com.ombrix.Installer-$size.png"
done
