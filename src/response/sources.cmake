# Files of src/response
