"""Client of the qor camera server."""
