# Files of src/request
